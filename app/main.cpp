#include <iostream>

#include "run.hpp"

int main(int argc, char* argv[]) { return kelcmd::main_program(argc, argv, std::cout); }
