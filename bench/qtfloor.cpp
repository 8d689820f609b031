// The least a run of update.exe costs before it does anything of its own:
// loading the GUI libraries, making the application object (platform plugin
// included) and ending it.
#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return 0;
}
