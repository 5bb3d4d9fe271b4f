// Proof that the valgrind run fails on a real error: on its own this program ends with 0, but it
// decides on memory it never wrote and leaks a block, both of which memcheck must report.
#include <cstdio>

int main()
{
    int* never = new int[4];
    volatile int sink = 0;
    if (never[2] > 0)
        sink = 1;
    never = new int[4];  // the first block is lost
    std::printf("%d\n", sink + (never != nullptr ? 0 : 1));
    return 0;
}
