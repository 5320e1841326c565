// Placeholder until the driver lands.
#include "platform/plugin/asp.h"
extern "C" __attribute__((visibility("default"))) void* VeltoDriver_Create(const void*,
                                                                           const AspUuid*) {
  return nullptr;
}
