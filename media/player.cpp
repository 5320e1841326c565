#include "media/player.h"

namespace velto {

void Player::render(float*, uint32_t) {}

void Player::tick() {}

} // namespace velto
