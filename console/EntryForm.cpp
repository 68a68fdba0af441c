#include "EntryForm.h"

#include <iostream>

void EntryForm::showHelp() {
    std::cout << "help: detailed information\n"
                 "inv: displays stock information\n"
                 "read: reads from 'stock.txt' file\n"
                 "write: saves to 'stock.txt' file\n"
                 "new: adds a new product\n"
                 "delete: deletes products\n"
                 "edit: edits an entry\n"
                 "exit: exits the program\n";
}
