// A program that crashes at once: the update tests' new program that never gets going.
#include <cstdlib>

int main()
{
    std::abort();
}
