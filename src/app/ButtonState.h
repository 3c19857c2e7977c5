#pragma once

// The primary button's state. The order matters: every case before `update` is busy.
enum class ButtonState { checking, updating, starting, update, play, retry };

constexpr bool isBusy(ButtonState state) {
    return state < ButtonState::update;
}
