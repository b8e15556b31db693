#include <cstdio>

int main(int argc, char* argv[])
{
    (void)argv;
    std::printf("Usage: vexil <command> [options]\n");
    return argc < 2 ? 1 : 0;
}
