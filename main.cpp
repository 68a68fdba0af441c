#include "console/EntryForm.h"
#include "stock/Stock.h"

#include <cstdio>
#include <iostream>
#include <string>

// Defined here, in this order, so that the table exists before the form that writes into it.
Stock stock;
EntryForm form;

int main() {
    // A listing of 10000 lines should leave in a few large writes; the tie of std::cin to
    // std::cout still flushes every prompt before the program waits for input.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);

    std::string input;
    stock.read();
    std::cout << "----------\n"
                 "Quillane\n"
                 "----------\n";
    input = "help";
    std::cout << ">" << input << "\n" << std::flush;
    while (input != "exit") {
        if (input == "help")
            form.showHelp();
        if (input == "inv")
            stock.display();
        if (input == "read") {
            stock.read();
            stock.display();
        }
        if (input == "write")
            stock.write();
        if (input == "new" && form.addProduct())
            stock.saveAndDisplay();
        if (input == "delete" && form.deleteProduct())
            stock.saveReloadAndDisplay();
        if (input == "edit" && form.editProduct())
            stock.saveAndDisplay();
        if (!std::cin) {
            // Input ended inside a dialogue, which has changed nothing.
            std::cout << "\n";
            return 1;
        }
        std::cout << ">";
        if (!(std::cin >> input)) {
            std::cout << "\n";
            return 0;
        }
    }
    return 0;
}
