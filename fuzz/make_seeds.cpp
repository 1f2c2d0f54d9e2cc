// Writes the seed corpora: make_seeds DIR creates DIR/<target>/<seed> files.

#include "seeds.h"

#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_seeds DIR\n";
        return 2;
    }
    size_t written = 0;
    for (const auto& [target, seeds] : dsfuzz::make_seeds()) {
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / target;
        std::filesystem::create_directories(dir);
        for (const dsfuzz::Seed& s : seeds) {
            std::ofstream out(dir / s.name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(s.bytes.data()), static_cast<std::streamsize>(s.bytes.size()));
            if (!out) {
                std::cerr << "cannot write " << (dir / s.name) << "\n";
                return 1;
            }
            ++written;
        }
    }
    std::cout << written << " seeds\n";
    return 0;
}
