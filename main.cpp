#include "cli/driver.h"

int main(int argc, char **argv)
{
    return pakwright_main(argc, argv);
}
