#include "app/app.h"

int main(int argc, char **argv)
{
    settings options;
    if (read_command_line(argc, argv, &options) < 0)
        return -1;
    return run(&options);
}
