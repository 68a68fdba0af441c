#include "LineSource.h"

#include "EntryForm.h"
#include "stock/System.h"

#include <cstdio>
#include <iostream>

#ifdef QUILLANE_LIBEDIT
#include <clocale>
#include <cstring>
#include <histedit.h>
#endif

namespace lines {

namespace {

// Reads what standard input has, printing the prompt first unless it is on the screen already.
bool readStream(std::string& line, const std::string& prompt, bool shown, bool& failed) {
    if (!shown)
        std::cout << prompt;
    std::cout.flush(); // every prompt is on the screen before the program waits
    char block[1 << 16];
    const long long got = sys::readInput(block, sizeof block);
    failed = got < 0;
    if (got <= 0)
        return false;
    line.assign(block, static_cast<std::size_t>(got));
    return true;
}

} // namespace

#ifndef QUILLANE_LIBEDIT

void start() {}

bool read(std::string& line, const std::string& prompt, bool shown, bool& failed) {
    return readStream(line, prompt, shown, failed);
}

#else

namespace {

EditLine* editor = nullptr; // while lines are edited: standard input and output are terminals
History* history = nullptr; // the lines typed at ">" in this run, for Up and Down
std::string shownPrompt;    // what the editor shows before the line

char* promptOf(EditLine*) {
    return const_cast<char*>(shownPrompt.c_str());
}

bool blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Completes the command word before the cursor, at ">" only: one match with a blank after it,
// several to what they share; a second Tab where nothing more is shared lists them.
unsigned char complete(EditLine* edited, int) {
    static std::string lastTried; // the line and cursor of a Tab that could not add anything
    if (shownPrompt != ">")
        return CC_NORM;
    const LineInfo* typed = el_line(edited);
    const char* from = typed->cursor;
    while (from > typed->buffer && !blank(from[-1]))
        --from;
    const std::string word(from, typed->cursor);
    std::string shared, listing;
    int matches = 0;
    for (const auto& command : EntryForm::commands) {
        const std::string name = command[0];
        if (name.compare(0, word.size(), word) != 0)
            continue;
        std::size_t same = 0;
        while (same < shared.size() && same < name.size() && shared[same] == name[same])
            ++same;
        shared = matches++ == 0 ? name : shared.substr(0, same);
        listing += (listing.empty() ? "" : "  ") + name;
    }
    if (matches == 1)
        shared += ' ';
    if (shared.size() > word.size()) {
        el_insertstr(edited, shared.c_str() + word.size());
        return CC_REFRESH;
    }
    const std::string now = std::string(typed->buffer, typed->lastchar) + '\n' +
                            std::to_string(typed->cursor - typed->buffer);
    if (matches < 2 || now != lastTried) {
        lastTried = now;
        return CC_ERROR;
    }
    std::cout << "\n" << listing << "\n" << std::flush;
    return CC_REDISPLAY;
}

} // namespace

void start() {
    if (!sys::isTerminal(0) || !sys::isTerminal(1))
        return;
    std::setlocale(LC_CTYPE, ""); // so that the editor takes the terminal's characters whole
    editor = el_init("quillane", stdin, stdout, stderr);
    history = history_init();
    if (!editor || !history)
        return;
    HistEvent event;
    ::history(history, &event, H_SETSIZE, 1000);
    el_set(editor, EL_HIST, ::history, history);
    el_set(editor, EL_PROMPT, promptOf);
    el_set(editor, EL_EDITOR, "emacs");
    // The terminal's own settings come back before a signal ends or stops the program.
    el_set(editor, EL_SIGNAL, 1);
    el_set(editor, EL_ADDFN, "quillane-complete", "Complete a command word", complete);
    el_set(editor, EL_BIND, "^I", "quillane-complete", nullptr);
    el_source(editor, nullptr); // ~/.editrc
}

bool read(std::string& line, const std::string& prompt, bool shown, bool& failed) {
    if (!editor || !history)
        return readStream(line, prompt, shown, failed);
    shownPrompt = prompt;
    std::cout.flush();
    int size = 0;
    const char* const got = el_gets(editor, &size);
    failed = size < 0;
    if (!got || size <= 0)
        return false;
    line.assign(got, static_cast<std::size_t>(size));
    HistEvent event;
    if (prompt == ">" && line.find_first_not_of(" \t\n\v\f\r") != std::string::npos)
        ::history(history, &event, H_ENTER, got);
    return true;
}

#endif

} // namespace lines
