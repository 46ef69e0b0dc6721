// testservice: the drive-health monitoring service.
#include "service.h"

int main()
{
    return service_entry();
}
