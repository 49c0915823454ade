#include "app/startup.h"

int main(int argc, char** argv)
{
    return Vesk::runApplication(argc, argv);
}
