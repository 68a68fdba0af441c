#pragma once

#include <cstddef>
#include <string>

// Where typed lines come from: standard input, through the line editor (libedit, where the
// program was built with it) when a person types at a terminal, else as a plain stream. The
// dialogues ask for words with a prompt and never know which. Either way a line holds exactly
// the bytes that were sent, whatever the locale.
namespace lines {

// Chooses the source: the editor when standard input and output are both terminals, with Tab
// completing the `count` words of `commands` at the ">" prompt.
void start(const char* const* commands, std::size_t count);

// Reads the next line of input, or of a stream the next piece of one, into `line`, with its line
// feed. The editor shows `prompt` and redraws it while the line is edited; the stream prints it
// unless it is `shown` already. Returns false at the end of input or, setting `failed`, when the
// input cannot be read.
bool read(std::string& line, const std::string& prompt, bool shown, bool& failed);

} // namespace lines
