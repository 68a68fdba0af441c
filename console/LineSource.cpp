#include "LineSource.h"

#include "stock/System.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <vector>

#ifdef QUILLANE_LIBEDIT
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <histedit.h>
#endif

namespace lines {

namespace {

// Standard output where it is a text console (Windows): the UTF-8 the program writes goes out as
// the characters it spells, whatever the console's code page.
class ConsoleText : public std::streambuf {
public:
    ConsoleText() {
        setp(held, held + sizeof held);
    }

protected:
    int overflow(int c) override {
        if (!drain(false))
            return traits_type::eof();
        if (c != traits_type::eof())
            sputc(static_cast<char>(c));
        return traits_type::not_eof(c);
    }
    int sync() override {
        return drain(true) ? 0 : -1;
    }

private:
    // Writes what is held, all of it or all but a character cut off at the end.
    bool drain(bool all) {
        const long long put =
            sys::writeConsole(pbase(), static_cast<std::size_t>(pptr() - pbase()), all);
        if (put < 0)
            return false;
        const std::size_t rest =
            static_cast<std::size_t>(pptr() - pbase()) - static_cast<std::size_t>(put);
        std::memmove(held, pbase() + put, rest);
        setp(held, held + sizeof held);
        pbump(static_cast<int>(rest));
        return true;
    }

    char held[1 << 12];
};

// Hands standard output to the console as text where it is a text console. Never destroyed: the
// C++ library flushes std::cout after every other object has gone.
void speakText() {
    if (sys::isTextConsole(1))
        std::cout.rdbuf(new ConsoleText);
}

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

void start(const char* const*, std::size_t) {
    speakText();
}

bool read(std::string& line, const std::string& prompt, bool shown, bool& failed) {
    return readStream(line, prompt, shown, failed);
}

#else

namespace {

EditLine* editor = nullptr;      // while lines are edited: standard input and output are terminals
HistoryW* history = nullptr;     // the lines typed at ">" in this run, for Up and Down
std::string shownPrompt;         // what the editor shows before the line
std::vector<std::wstring> words; // what Tab completes at ">"

// The editor works in characters, the program in bytes. Bytes that do not make a character of
// the locale's (or make one that would not turn back into the same bytes) travel through the
// editor as one character each, from a range that no character read ever takes (the low
// surrogates that UTF-8 cannot hold), and turn back into the same bytes on the way out.
constexpr wchar_t escaped = 0xdc00;

char typed[1 << 12];      // bytes read from the terminal, not yet handed to the editor
std::size_t first = 0;    // the next of them
std::size_t last = 0;     // the end of them
bool inputEnded = false;  // the terminal has no more, or could not be read
bool inputFailed = false; // could not be read

bool isEscaped(wchar_t c) {
    return c >= escaped && c <= escaped + 0xff;
}

// Gets the editor going again after a signal woke the wait: back from a stop, with the terminal
// as the shell left it, the editor's settings go back and the line is drawn anew; in a window of
// another size, the next key draws it to the new width.
void redraw(bool continued) {
    el_resize(editor);
    if (!continued)
        return;
    el_set(editor, EL_PREP_TERM, 0);
    el_set(editor, EL_PREP_TERM, 1);
    el_set(editor, EL_REFRESH);
}

// Reads more of the terminal after what is there; false when it has no more.
bool readMore() {
    if (first > 0) {
        std::memmove(typed, typed + first, last - first);
        last -= first;
        first = 0;
    }
    const long long got = last < sizeof typed && !inputEnded
                              ? sys::readInput(typed + last, sizeof typed - last, redraw)
                              : 0;
    inputFailed = inputFailed || got < 0;
    inputEnded = got <= 0;
    last += got > 0 ? static_cast<std::size_t>(got) : 0;
    return got > 0;
}

// The editor's reader: hands it the next character typed. Returns 1, 0 at the end of input, or
// -1 when the terminal cannot be read.
int readCharacter(EditLine*, wchar_t* into) {
    if (first == last && !readMore())
        return inputFailed ? -1 : 0;
    for (;;) {
        std::mbstate_t state{};
        wchar_t c = 0;
        const std::size_t size = std::mbrtowc(&c, typed + first, last - first, &state);
        if (size == static_cast<std::size_t>(-2) && readMore())
            continue; // the rest of the character is still on its way
        char again[MB_LEN_MAX];
        std::mbstate_t back{};
        const std::size_t used = size == 0 ? 1 : size;
        const bool whole = size <= last - first && !isEscaped(c) &&
                           std::wcrtomb(again, c, &back) == used &&
                           std::memcmp(again, typed + first, used) == 0;
        *into =
            whole ? c : static_cast<wchar_t>(escaped + static_cast<unsigned char>(typed[first]));
        first += whole ? used : 1;
        return 1;
    }
}

// Turns the editor's characters back into the bytes that were typed.
std::string bytesOf(const wchar_t* from, std::size_t count) {
    std::string bytes;
    char one[MB_LEN_MAX];
    for (std::size_t at = 0; at < count; ++at) {
        std::mbstate_t state{};
        const std::size_t size = isEscaped(from[at]) ? 0 : std::wcrtomb(one, from[at], &state);
        if (isEscaped(from[at]))
            bytes += static_cast<char>(from[at] - escaped);
        else if (size != static_cast<std::size_t>(-1))
            bytes.append(one, size);
        else
            bytes += '?'; // only a macro of the user's own editrc can put such a character here
    }
    return bytes;
}

// Does nothing: for what the terminal sends that is no part of the line, such as the marks that
// a terminal puts around a paste where another program asked it to (bracketed paste).
unsigned char ignore(EditLine*, int) {
    return CC_NORM;
}

char* promptOf(EditLine*) {
    return const_cast<char*>(shownPrompt.c_str());
}

bool blank(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Completes the command word before the cursor, at ">" only: one match with a blank after it,
// several to what they share; a second Tab where nothing more is shared lists them.
unsigned char complete(EditLine* edited, int) {
    static std::wstring lastTried; // the line and cursor of a Tab that could not add anything
    if (shownPrompt != ">")
        return CC_NORM;
    const LineInfoW* line = el_wline(edited);
    const wchar_t* from = line->cursor;
    while (from > line->buffer && !blank(from[-1]))
        --from;
    const std::wstring word(from, line->cursor);
    std::wstring shared, listing;
    int matches = 0;
    for (const auto& name : words) {
        if (name.compare(0, word.size(), word) != 0)
            continue;
        std::size_t same = 0;
        while (same < shared.size() && same < name.size() && shared[same] == name[same])
            ++same;
        shared = matches++ == 0 ? name : shared.substr(0, same);
        listing += (listing.empty() ? L"" : L"  ") + name;
    }
    if (matches == 1)
        shared += L' ';
    if (shared.size() > word.size()) {
        el_winsertstr(edited, shared.c_str() + word.size());
        return CC_REFRESH;
    }
    const std::wstring now = std::wstring(line->buffer, line->lastchar) + L'\n' +
                             std::to_wstring(line->cursor - line->buffer);
    if (matches < 2 || now != lastTried) {
        lastTried = now;
        return CC_ERROR;
    }
    std::cout << "\n" << bytesOf(listing.data(), listing.size()) << "\n" << std::flush;
    return CC_REDISPLAY;
}

// Reads the user's editrc (EDITRC, or ~/.editrc), but only a regular file of a sane size: a FIFO
// would hang the start, and /dev/zero would never end.
void readSettings() {
    const char* const named = std::getenv("EDITRC");
    const char* const home = std::getenv("HOME");
    if (!named && !home)
        return;
    const std::string path = named ? named : std::string(home) + "/.editrc";
    const sys::Look seen = sys::look(sys::resolve(path));
    if (!path.empty() && seen.kind == sys::Kind::regular && seen.id.size <= (1u << 16))
        el_source(editor, path.c_str());
}

// Whether the terminal is one that can be drawn on: not where TERM is unset, empty or "dumb", as
// in an editor's shell buffer or a service's console, which are read like a pipe.
bool drawable() {
    const char* const type = std::getenv("TERM");
    return type && *type && std::strcmp(type, "dumb") != 0;
}

} // namespace

void start(const char* const* commands, std::size_t count) {
    speakText();
    if (!sys::isTerminal(0) || !sys::isTerminal(1) || !drawable())
        return;
    for (std::size_t at = 0; at < count; ++at)
        words.emplace_back(commands[at], commands[at] + std::strlen(commands[at]));
    // The terminal's characters, to show them: where the locale is the plain C one, as is
    // common where none is set, UTF-8, which terminals send today. Bytes pass whole either way.
    const char* const locale = std::setlocale(LC_CTYPE, "");
    if (!locale || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
    sys::guardTerminal(); // the program's own signal handling: libedit's would signal the group
    editor = el_init("quillane", stdin, stdout, stderr);
    history = history_winit();
    if (!editor || !history)
        return;
    HistEventW event;
    history_w(history, &event, H_SETSIZE, 1000);
    el_wset(editor, EL_HIST, history_w, history);
    el_set(editor, EL_PROMPT, promptOf);
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_GETCFN, readCharacter);
    el_set(editor, EL_ADDFN, "quillane-complete", "Complete a command word", complete);
    el_set(editor, EL_BIND, "^I", "quillane-complete", nullptr);
    el_set(editor, EL_ADDFN, "quillane-ignore", "Ignore what is no part of the line", ignore);
    el_set(editor, EL_BIND, "\033[200~", "quillane-ignore", nullptr);
    el_set(editor, EL_BIND, "\033[201~", "quillane-ignore", nullptr);
    readSettings();
}

bool read(std::string& line, const std::string& prompt, bool shown, bool& failed) {
    if (!editor || !history)
        return readStream(line, prompt, shown, failed);
    shownPrompt = prompt;
    std::cout.flush();
    int size = 0;
    const wchar_t* const got = el_wgets(editor, &size);
    failed = size < 0 || (!got && inputFailed);
    if (!got || size <= 0)
        return false;
    line = bytesOf(got, static_cast<std::size_t>(size));
    HistEventW event;
    if (prompt == ">" && line.find_first_not_of(" \t\n\v\f\r") != std::string::npos)
        history_w(history, &event, H_ENTER, got);
    return true;
}

#endif

} // namespace lines
