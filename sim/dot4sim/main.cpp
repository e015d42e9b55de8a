#include <iostream>

#include "dot4sim/runner.h"

int main(int argc, char** argv) { return simwin::dot4simMain(argc, argv, std::cout, std::cerr); }
