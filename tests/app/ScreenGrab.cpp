// screen_grab FILE.png X Y WIDTH HEIGHT: saves that part of the X screen
// named by $DISPLAY. Kept out of the real-window test's process, which then
// carries no Qt of its own.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: screen_grab FILE.png X Y WIDTH HEIGHT\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const QPixmap part = screen.copy(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    return part.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
