// DesktopEntry: starts the application; returns when its window is closed.
#include "app/KorvidDesktop.h"

int main(int argc, char** argv)
{
    korvid::prepareProcess();
    korvid::KorvidDesktop desktop;
    return desktop.run(argc, argv);
}
