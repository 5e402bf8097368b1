// The state of the Caps Lock, Num Lock and Scroll Lock keys for the status
// bar's indicators. Qt does not report lock states, so the default reader asks
// the kernel's keyboard LEDs (/sys/class/leds/*::capslock and so on), which
// follow the keys on every keyboard the kernel drives.
#pragma once

#include <functional>

namespace quoralith {

struct LockKeys {
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

using LockKeyReader = std::function<LockKeys()>;

// Reads the keyboard LEDs under `leds_directory`; a lock counts as on when any
// keyboard's LED of that name is lit. Nothing found reads as all off.
LockKeys read_lock_keys(const char* leds_directory = "/sys/class/leds");

}  // namespace quoralith
