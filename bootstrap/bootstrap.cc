// Entry point: everything happens in the front end.
#include "bootstrap/app/app.h"

int main(int argc, char** argv) { return bootstrap::app::main(argc, argv); }
