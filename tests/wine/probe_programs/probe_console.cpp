// Console probe: proves that the harness passes stdout bytes through
// untouched (no code page conversion, CRLF from the C runtime's text mode),
// that a caller can answer a prompt through stdin, and that exit(-1) is seen
// as 255.
#include <cstdio>
#include <cstdlib>

int main() {
    std::printf("caf\xe9 ready\n");
    std::printf("press Enter: ");
    std::fflush(stdout);
    int c = std::getchar();
    std::printf("\ngot %d\n", c);
    std::fflush(stdout);
    std::exit(-1);
}
