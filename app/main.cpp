// The program: everything lives in the shell library so the tests can reach it.
#include "app/shell.h"

int main() {
  return velto::runApp();
}
