// The program's two globals, for the unit tests; the real binary defines them in main.cpp.
#include "console/EntryForm.h"
#include "stock/Stock.h"

Stock stock;
EntryForm form;
