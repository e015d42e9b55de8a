#include <iostream>

#include "runner.h"

int main(int argc, char** argv) { return simwin::dot4simMain(argc, argv, std::cout, std::cerr); }
