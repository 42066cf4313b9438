#include <stdio.h>

int main(void)
{
    puts("hello from a PAK archive");
    return 0;
}
