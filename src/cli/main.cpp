#include <cstdio>

int main() {
    std::fputs("vexlor: not built yet\n", stderr);
    return 1;
}
