// Stands in for the game client: records what it was started with.
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    char cwd[4096] = {};
    if (!getcwd(cwd, sizeof cwd - 1))
        cwd[0] = '\0';
    FILE* out = std::fopen("client-started.txt", "wb");
    if (!out)
        return 1;
    std::fprintf(out, "cwd=%s\n", cwd);
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "arg=%s\n", argv[i]);
    std::fclose(out);
    return 0;
}
