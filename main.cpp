#include "console/EntryForm.h"
#include "console/LineSource.h"
#include "stock/Stock.h"
#include "stock/System.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <new>
#include <string>

// Defined here, in this order, so that the table exists before the form that writes into it.
Stock stock;
EntryForm form;

namespace {

const char* const unsavedWarning = "the last changes are not saved in 'stock.txt'";
const char* const fuseNote = "'stock.txt' is on a FUSE file system, where copies on other "
                             "computers may overwrite each other's saves\n";

// The exit status, made 1 when the output could not be written (to a full disk, say).
int finish(int status) {
    std::cout.flush();
    return status == 0 && (!std::cout || std::ferror(stdout)) ? 1 : status;
}

// Ends the program once standard input has no more words: at its end, or when it could not
// be read, which is said.
int endOfInput(int status) {
    std::cout << "\n";
    if (form.unreadable) {
        std::cout << "could not read the input\n";
        status = 1;
    }
    if (stock.unsaved) {
        std::cout << unsavedWarning << "\n";
        status = 1;
    }
    return finish(status);
}

// Runs a dialogue; returns whether the table may have changed, so that it is saved and
// listed. A dialogue that runs out of memory has changed nothing, and says so; the rest of its
// line goes unread, so that no answer typed ahead for it is taken for a command.
bool ran(bool (EntryForm::*dialogue)()) {
    try {
        return (form.*dialogue)();
    } catch (const std::bad_alloc&) {
        std::cout << "not enough memory: the command was not carried out\n";
        form.dropping = true;
        return false;
    }
}

// Says where copies on other computers may lose each other's saves: in a FUSE folder, which may
// carry no locks between them or answer from its own cache.
void noteFolder() {
    try {
        if (sys::onFuse(sys::resolve(Stock::fileName).parent_path()))
            std::cout << fuseNote;
    } catch (const std::bad_alloc&) {
        // Only a note: the session goes on without it.
    }
}

// Answers the command line, which holds nothing but --help or --version; returns the exit
// status when it has answered, -1 when the session is to run.
int options(int argc, char** argv) {
    if (argc < 2)
        return -1;
    const char* const option = argv[1];
    if (argc == 2 && std::strcmp(option, "--version") == 0) {
        std::cout << "quillane " QUILLANE_VERSION "\n";
        return finish(0);
    }
    if (argc == 2 && std::strcmp(option, "--help") == 0) {
        std::cout << "Usage: quillane [--help | --version]\n"
                     "Keeps a stock list in stock.txt in the working directory. Type a command\n"
                     "at the > prompt:\n";
        for (const auto& command : EntryForm::commands)
            std::cout << "  " << command[0] << std::string(8 - std::strlen(command[0]), ' ')
                      << command[1] << "\n";
        std::cout << "Options:\n"
                     "  --help     print this text and exit\n"
                     "  --version  print the version and exit\n"
#ifdef _WIN32
                     "README.txt, beside the program, says everything it does.\n";
#else
                     "The manual page, man quillane, says everything it does.\n";
#endif
        return finish(0);
    }
    // After an option that is known, anything more is one argument too many, even an option.
    const bool known = std::strcmp(option, "--help") == 0 || std::strcmp(option, "--version") == 0;
    const char* const wrong = known ? argv[2] : option;
    std::cerr << "quillane: "
              << (!known && wrong[0] == '-' && wrong[1] != '\0' ? "unknown option '"
                                                                : "unexpected argument '")
              << wrong << "'\nTry 'quillane --help'.\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const int answered = options(argc, argv);
    if (answered >= 0)
        return answered;
    // A listing of 10000 lines should leave in a few large writes; every prompt is flushed
    // before the program waits for input.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    sys::prepare();
    stock.terminal = sys::isTerminal(1);
    const char* words[std::size(EntryForm::commands)]; // for Tab to complete
    for (std::size_t at = 0; at < std::size(words); ++at)
        words[at] = EntryForm::commands[at][0];
    lines::start(words, std::size(words));

    std::string input;
    bool warned = false; // the last "exit" warned of unsaved work, all of which is still unsaved
    stock.read();
    noteFolder();
    std::cout << "----------\n"
                 "Quillane\n"
                 "----------\n";
    input = "help";
    std::cout << ">" << input << "\n" << std::flush;
    while (input != "exit" || (stock.unsaved && !warned)) {
        if (input == "exit") {
            std::cout << unsavedWarning << "; type exit again to leave without them\n";
            warned = true;
        }
        if (input == "help")
            form.showHelp();
        if (input == "inv")
            stock.display();
        if (input == "read") {
            stock.read();
            stock.display();
        }
        if (input == "write")
            stock.write(true); // the user's choice: it replaces even a file changed elsewhere
        if (input == "new" && ran(&EntryForm::addProduct)) {
            stock.saveAndDisplay();
            warned = false;
        }
        if (input == "delete" && ran(&EntryForm::deleteProduct)) {
            stock.saveReloadAndDisplay();
            warned = false;
        }
        if (input == "edit" && ran(&EntryForm::editProduct)) {
            stock.saveAndDisplay();
            warned = false;
        }
        if (form.ended)
            return endOfInput(1);         // inside a dialogue, which has changed nothing
        warned = warned && stock.unsaved; // a save or load that succeeds ends the warning
        if (!form.nextWord(input, ">"))
            return endOfInput(0);
    }
    return finish(stock.unsaved ? 1 : 0);
}
