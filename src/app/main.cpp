#include "app/app.h"
#include "app/config.h"
#include "base/process.h"

int main(int argc, char **argv)
{
    if (open_missing_standard_streams() < 0)
        return -1;
    settings options;
    int status = read_command_line(argc, argv, &options);
    if (status != 0)
        return status < 0 ? -1 : 0;
    status = run(&options);
    free_config(&options);
    return status;
}
