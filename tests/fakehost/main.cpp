// Stand-in host program: appends one line per start to host_started.txt in
// its own folder, so tests can see that (and how often) it was started.
#include <fstream>
#include <string>

int main(int argc, char **argv)
{
    std::string self = argv[0];
    const auto slash = self.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    // Binary: the same "\n" line ends on every platform.
    std::ofstream out(dir + "/host_started.txt", std::ios::app | std::ios::binary);
    out << "started";
    for (int i = 1; i < argc; ++i)
        out << ' ' << argv[i];
    out << '\n';
    return 0;
}
