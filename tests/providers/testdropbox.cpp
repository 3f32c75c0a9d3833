#include "testdropbox.h"

TestDropBox::TestDropBox(const char* applicationName) : DropBox(applicationName) {}
