// systemIdleSeconds.h: how long the user has not touched keyboard or mouse.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/IdleLookup.h"

// Whole idle seconds of 2^30 ns each (about 1.074 s), or 0 when the idle time cannot be read;
// the reason is then written as message lines by the platform. Each call looks the idle time up
// afresh.
std::uint64_t systemIdleSeconds();

using IdleMessageSink = std::function<void(std::string_view line)>;

// The platform-free half of the probe: turns what a backend's lookup found into a reading,
// writing one line to `messages` for each failure. A data value shorter than 8 bytes is no
// reading at all: its missing high bytes cannot be guessed.
std::uint64_t idleSecondsFromLookup(const platform::IdleLookup& lookup,
                                    const IdleMessageSink& messages);
