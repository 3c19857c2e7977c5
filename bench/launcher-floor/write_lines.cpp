// The floor for the output pipeline: appends each line of the input file to the output file and
// flushes it to stable storage before the next, as the launcher's log does with every entry.
// Prints the number of lines and the seconds the loop took.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: write_lines <input> <output>\n");
        return 2;
    }
    std::ifstream input(argv[1], std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(input)), {});
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < content.size();) {
        const std::size_t end = content.find('\n', start);
        const std::size_t next = end == std::string::npos ? content.size() : end + 1;
        lines.push_back(content.substr(start, next - start));
        start = next;
    }

    const int file = ::open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file < 0) {
        std::perror("open");
        return 1;
    }
    const auto begin = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        for (std::size_t written = 0; written < line.size();) {
            const ssize_t count = ::write(file, line.data() + written, line.size() - written);
            if (count < 0) {
                std::perror("write");
                return 1;
            }
            written += std::size_t(count);
        }
        ::fdatasync(file);
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
    ::close(file);
    std::printf("%zu %.6f\n", lines.size(), seconds.count());
    return 0;
}
