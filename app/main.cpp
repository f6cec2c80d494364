#include "framework.h"

int main(int argc, char** argv) { return CWinAppEx::Run(argc, argv); }
