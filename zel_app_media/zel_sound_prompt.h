// What the prompt player and the speaker queue tell each other: the prompts' language, read at start
// from "ROM.language", and whether the queue takes items.
#pragma once

namespace sound {

// True between zel_sound_play_init and zel_sound_play_deinit.
bool queue_open();

// Up to 6 characters; longer or absent: empty (prompts from the default folder).
void read_language();

} // namespace sound
