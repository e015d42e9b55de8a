// make_partition IMAGE DIR [--98]: a Windows partition folder made from a machine image, for
// trying dot4sim import --root, apply and undo without a real disk.
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "Partition.h"

int main(int argc, char** argv) {
    if (argc < 3 || (argc == 4 && std::strcmp(argv[3], "--98") != 0) || argc > 4) {
        std::cerr << "usage: make_partition IMAGE DIR [--98]\n"
                     "Writes DIR as the root of an XP partition (or, with --98, a Windows 98 one)\n"
                     "holding IMAGE's drive C: and its registry in the partition's own files.\n";
        return 2;
    }
    try {
        testsupport::makePartition(argv[1], argv[2], argc == 3);
    } catch (const std::exception& e) {
        std::cerr << "make_partition: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
