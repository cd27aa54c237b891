// metersim: plays a Schott Handylab 2 pH/mV meter on a pseudo-terminal.
//
// It opens a pseudo-terminal, prints the path of its device end (the end a driver opens as
// its serial port) and writes meter lines to it at the pace of the real line: 4800 baud 8N1
// is ten bits a byte, 480 bytes a second, byte by byte. Everything the device side writes
// back is read and counted (and shown with --watch), so a run can prove that a driver sent
// nothing to the meter.
//
// Line layout (1-based positions; position 1 is the line feed that ends the line before):
//   pH line  "pH  7.01   25.0 C\r\n"   'p' at 2, value at 5..9, temperature at 13..16
//   mV line  " -123mV\r\n"             value at 2..6, "mV" at 7..8
//
// The device end starts raw, at 9600 baud with 2 stop bits, so that a driver's own settings
// (4800 baud, 1 stop bit) show as a change. This process keeps the device end open itself:
// the pseudo-terminal then outlives a driver's close and reopen, and what is sent while no
// driver has it open waits in its input queue, as it would in a serial port's.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::string;

const char Usage[] =
    "usage: metersim [options]\n"
    "Plays a Schott Handylab 2 pH/mV meter on a pseudo-terminal. Prints the path of the\n"
    "device end on its first line of output, then writes meter lines to it.\n"
    "\n"
    "  --scenario NAME  what the meter sends (default steady):\n"
    "                     steady     pH readings around --ph with random noise\n"
    "                     titration  pH from 3 to 11 along a sigmoid over --ramp seconds\n"
    "                     modes      pH readings, switching to mV and back every --switch lines\n"
    "                     burst      --burst lines back to back (more than 255 bytes), then a\n"
    "                                pause until the next --interval\n"
    "                     overlong   pH lines with text past position 19, and every fourth\n"
    "                                one longer than 255 bytes\n"
    "                     garbage    pH lines among NUL and random bytes and junk lines\n"
    "                     lines      the texts given with --line, in turn\n"
    "  --link PATH      also make PATH a symbolic link to the device end (removed at exit)\n"
    "  --interval SEC   from the start of one line to the start of the next (default 1)\n"
    "  --baud N         line speed: N/10 bytes a second, one byte at a time (default 4800);\n"
    "                   0 writes each line in one piece\n"
    "  --count N        stop sending after N lines\n"
    "  --duration SEC   stop after SEC seconds (a line being sent stays cut off)\n"
    "  --linger SEC     after the last line (--count), keep the port open SEC seconds more\n"
    "                   (default 0); a driver can then still read what is queued\n"
    "  --cut K          send only the first K bytes of the last line (needs --count)\n"
    "  --wait-setup     send nothing until the settings of the device end change, that is\n"
    "                   until a driver has opened and set up the port; the scenario's clock\n"
    "                   (--ramp, --interval) starts then\n"
    "  --seed N         seed of the random noise (default 1)\n"
    "  --ph X           pH of steady, modes, burst, overlong and garbage (default 7.00)\n"
    "  --noise X        each pH reading varies by up to +/- X (default 0.02)\n"
    "  --temp X         temperature, deg C (default 25.0)\n"
    "  --temp-noise X   each temperature varies by up to +/- X (default 0.1)\n"
    "  --ramp SEC       titration: time from pH 3 to pH 11 (default 60)\n"
    "  --switch N       modes: lines per mode (default 5)\n"
    "  --burst N        burst: lines per burst (default 16, 304 bytes)\n"
    "  --line TEXT      lines: one line of text; CR LF is added. C escapes: \\r \\n \\t \\\\\n"
    "                   \\0 \\xHH. Give it more than once for a list, sent in turn, repeating.\n"
    "  --verbose        print each line as it is sent\n"
    "  --watch          print the port settings of the device end whenever they change, and\n"
    "                   every byte the device side writes\n"
    "  --help           this text\n"
    "\n"
    "Output, one event a line: the device path; 'start: ...' (--wait-setup); 'line N: ...'\n"
    "(--verbose); 'port: ...' and 'received N bytes: ...' (--watch); 'done: N lines sent, ...'\n"
    "once --count is reached; and 'stop: ...' with the totals at exit. Stops on SIGINT, SIGTERM\n"
    "and SIGHUP too.\n";

struct Options {
    string scenario = "steady";
    string link;
    double interval = 1.0;
    long baud = 4800;
    long count = -1;        // no limit
    double duration = -1;   // no limit
    double linger = 0;
    long cut = -1;
    unsigned long seed = 1;
    double ph = 7.0;
    double noise = 0.02;
    double temp = 25.0;
    double tempNoise = 0.1;
    double ramp = 60;
    long switchEvery = 5;
    long burst = 16;
    std::vector<string> lines;
    bool verbose = false;
    bool watch = false;
    bool waitSetup = false;
};

volatile std::sig_atomic_t stopSignal = 0;
void OnSignal(int signal) { stopSignal = signal; }

[[noreturn]] void Fail(const string& message)
{
    std::fprintf(stderr, "metersim: %s\n", message.c_str());
    std::exit(2);
}

double Number(const char* flag, const char* text)
{
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
        Fail(string(flag) + ": not a number: " + text);
    return v;
}

long Integer(const char* flag, const char* text, long min)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min)
        Fail(string(flag) + ": expected a whole number of at least " + std::to_string(min) +
             ": " + text);
    return v;
}

// Decodes \r \n \t \\ \0 and \xHH.
string Unescape(const string& text)
{
    string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == '0') out += '\0';
        else if (c == 'x' && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
                 std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += c; // \\ and anything else: the character itself
    }
    return out;
}

// Bytes as printable text: printable ASCII as is, the rest as C escapes.
string Escape(const string& bytes)
{
    string out;
    for (unsigned char c : bytes) {
        char buf[8];
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c >= 0x20 && c < 0x7F) out += char(c);
        else {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

Options Parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        if (flag == "--verbose") { o.verbose = true; continue; }
        if (flag == "--watch") { o.watch = true; continue; }
        if (flag == "--wait-setup") { o.waitSetup = true; continue; }
        if (i + 1 >= argc)
            Fail("unknown option or missing value: " + flag + " (see --help)");
        const char* v = argv[++i];
        if (flag == "--scenario") o.scenario = v;
        else if (flag == "--link") o.link = v;
        else if (flag == "--interval") o.interval = Number(argv[i - 1], v);
        else if (flag == "--baud") o.baud = Integer(argv[i - 1], v, 0);
        else if (flag == "--count") o.count = Integer(argv[i - 1], v, 1);
        else if (flag == "--duration") o.duration = Number(argv[i - 1], v);
        else if (flag == "--linger") o.linger = Number(argv[i - 1], v);
        else if (flag == "--cut") o.cut = Integer(argv[i - 1], v, 0);
        else if (flag == "--seed") o.seed = (unsigned long)Integer(argv[i - 1], v, 0);
        else if (flag == "--ph") o.ph = Number(argv[i - 1], v);
        else if (flag == "--noise") o.noise = Number(argv[i - 1], v);
        else if (flag == "--temp") o.temp = Number(argv[i - 1], v);
        else if (flag == "--temp-noise") o.tempNoise = Number(argv[i - 1], v);
        else if (flag == "--ramp") o.ramp = Number(argv[i - 1], v);
        else if (flag == "--switch") o.switchEvery = Integer(argv[i - 1], v, 1);
        else if (flag == "--burst") o.burst = Integer(argv[i - 1], v, 1);
        else if (flag == "--line") o.lines.push_back(Unescape(v));
        else Fail("unknown option: " + flag + " (see --help)");
    }
    static const char* const scenarios[] = {"steady", "titration", "modes", "burst",
                                            "overlong", "garbage", "lines"};
    if (std::find_if(std::begin(scenarios), std::end(scenarios),
                     [&](const char* s) { return o.scenario == s; }) == std::end(scenarios))
        Fail("unknown scenario: " + o.scenario + " (see --help)");
    if (o.scenario == "lines" && o.lines.empty())
        Fail("the lines scenario needs at least one --line");
    if (o.scenario != "lines" && !o.lines.empty())
        Fail("--line belongs to --scenario lines");
    if (o.cut >= 0 && o.count < 0)
        Fail("--cut needs --count");
    if (o.interval < 0 || o.linger < 0 || o.noise < 0 || o.tempNoise < 0 || o.ramp <= 0)
        Fail("--interval, --linger, --noise and --temp-noise must not be negative, --ramp positive");
    return o;
}

// ---- the meter's lines ----

struct Meter {
    const Options& o;
    std::mt19937 random;
    long line = 0;              // lines produced so far
    Clock::time_point start;

    // A whole number of hundredths in [-limit, +limit], from the seeded generator alone so
    // that a seed gives the same lines on every machine.
    double Jitter(double limit)
    {
        long steps = std::lround(limit * 100);
        if (steps <= 0)
            return 0;
        return double(long(random() % uint32_t(2 * steps + 1)) - steps) / 100;
    }
    int Byte(int below) { return int(random() % uint32_t(below)); }
};

double Clamp(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

// A pH line and how it reads: the value fills positions 5..9 and the temperature 13..16.
string PhLine(double ph, double temp, string* said)
{
    ph = Clamp(ph, -9.99, 19.99);
    temp = Clamp(temp, -9.9, 99.9);
    char text[64];
    std::snprintf(text, sizeof text, "pH %5.2f   %4.1f C", ph, temp);
    char what[64];
    std::snprintf(what, sizeof what, "pH %.2f %.1f", ph, temp);
    *said = what;
    return text;
}

// An mV line: the value fills positions 2..6, "mV" follows.
string MvLine(double mv, string* said)
{
    mv = Clamp(std::round(mv), -9999, 99999);
    char text[32];
    std::snprintf(text, sizeof text, "%5.0fmV", mv);
    char what[32];
    std::snprintf(what, sizeof what, "mV %.0f", mv);
    *said = what;
    return text;
}

// Random bytes that are never a line feed, a quarter of them NUL.
string Junk(Meter& m, int length)
{
    string s;
    for (int i = 0; i < length; ++i) {
        int b = m.Byte(4) == 0 ? 0 : m.Byte(256);
        s += char(b == '\n' ? 0x7F : b);
    }
    return s;
}

struct Line {
    string bytes;   // what goes on the wire, CR LF included
    string said;    // what it reads as, for the log
};

// The next line of the scenario. A line is one reading: junk that the garbage scenario puts
// before or inside it belongs to it.
Line NextLine(Meter& m, double elapsed)
{
    const Options& o = m.o;
    long n = m.line++;
    Line l;
    double ph = o.ph + m.Jitter(o.noise);
    double temp = o.temp + m.Jitter(o.tempNoise);
    if (o.scenario == "lines") {
        l.bytes = o.lines[size_t(n) % o.lines.size()];
        l.said = "\"" + Escape(l.bytes) + "\"";
        l.bytes += "\r\n";
        return l;
    }
    if (o.scenario == "titration") {
        // A logistic step scaled so that it starts at exactly 3 and ends at exactly 11.
        auto logistic = [](double x) { return 1 / (1 + std::exp(-10 * (x - 0.5))); };
        double x = Clamp(elapsed / o.ramp, 0, 1);
        double s = (logistic(x) - logistic(0)) / (logistic(1) - logistic(0));
        ph = 3 + 8 * s + m.Jitter(o.noise);
    }
    if (o.scenario == "modes" && (n / o.switchEvery) % 2 == 1) {
        // Nernst slope at 25 deg C: 59.16 mV per pH unit, 0 mV at pH 7.
        l.bytes = MvLine((7 - ph) * 59.16, &l.said) + "\r\n";
        return l;
    }
    string text = PhLine(ph, temp, &l.said);
    if (o.scenario == "overlong") {
        text += "  ATC  slope 98.7%  zero -12 mV  #" + std::to_string(n + 1);
        if (n % 4 == 3)
            text += string(300, '=');
    }
    if (o.scenario == "garbage") {
        // Noise after the text, before the line ends, and now and then a whole junk line
        // before it.
        text += Junk(m, m.Byte(24));
        if (m.Byte(2) == 0)
            l.bytes = Junk(m, 1 + m.Byte(30)) + "\r\n";
    }
    l.bytes += text + "\r\n";
    return l;
}

// ---- the pseudo-terminal ----

struct Pty {
    int master = -1;
    int device = -1;    // our own descriptor on the device end
    string path;
};

Pty OpenPty()
{
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0)
        Fail(string("cannot make a pseudo-terminal: ") + std::strerror(errno));
    const char* name = ptsname(p.master);
    if (name == nullptr)
        Fail("cannot name the pseudo-terminal");
    p.path = name;
    p.device = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.device < 0)
        Fail(string("cannot open the device end: ") + std::strerror(errno));
    termios t;
    if (tcgetattr(p.device, &t) != 0)
        Fail("cannot read the settings of the device end");
    // Raw, so that nothing the meter sends is echoed back or changed on the way.
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | CSTOPB;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(p.device, TCSANOW, &t) != 0)
        Fail("cannot set the device end raw");
    return p;
}

unsigned long Baud(speed_t s)
{
    static const struct { speed_t code; unsigned long baud; } table[] = {
        {B0, 0}, {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
        {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400},
        {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}};
    for (const auto& e : table)
        if (e.code == s)
            return e.baud;
    return 0;
}

// The settings of the device end, as the driver left them.
string Settings(const Pty& p)
{
    termios t;
    if (tcgetattr(p.device, &t) != 0)
        return "unreadable";
    unsigned long in = Baud(cfgetispeed(&t)), out = Baud(cfgetospeed(&t));
    static const int bits[] = {5, 6, 7, 8};
    int size = CS5 == (t.c_cflag & CSIZE) ? 0 : CS6 == (t.c_cflag & CSIZE) ? 1
             : CS7 == (t.c_cflag & CSIZE) ? 2 : 3;
    const char* parity = !(t.c_cflag & PARENB) ? "no" : (t.c_cflag & PARODD) ? "odd" : "even";
    char text[128];
    if (in == out)
        std::snprintf(text, sizeof text, "%lu baud", out);
    else
        std::snprintf(text, sizeof text, "%lu baud in, %lu baud out", in, out);
    return string(text) + ", " + std::to_string(bits[size]) + " data bits, " + parity +
           " parity, " + ((t.c_cflag & CSTOPB) ? "2" : "1") + " stop bit" +
           ((t.c_cflag & CSTOPB) ? "s" : "");
}

// Points `link` at the device: a symbolic link made under a temporary name and renamed into
// place. Whatever is at `link` already must be a symbolic link (a stale one from an earlier
// run); anything else is left alone and refused.
void MakeLink(const string& link, const string& target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        Fail(link + " exists and is not a symbolic link");
    string temporary = link + ".metersim." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link.c_str()) != 0) {
        unlink(temporary.c_str());
        Fail("cannot make the link " + link + ": " + std::strerror(errno));
    }
}

// Removes the link if it still points at our device.
void RemoveLink(const string& link, const string& target)
{
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && string(buf, size_t(n)) == target)
        unlink(link.c_str());
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
Clock::duration After(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

int main(int argc, char** argv)
{
    Options o = Parse(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Pty pty = OpenPty();
    if (!o.link.empty())
        MakeLink(o.link, pty.path);
    std::printf("%s\n", pty.path.c_str());

    const Clock::time_point start = Clock::now();
    Meter meter{o, std::mt19937(uint32_t(o.seed)), 0, start};
    const Clock::duration byteTime = o.baud > 0 ? After(10.0 / double(o.baud)) : Clock::duration(0);
    const Clock::duration pollStep = std::chrono::milliseconds(20);

    string pending;             // bytes of the line on its way
    string pendingSaid;
    long pendingNumber = 0;
    Clock::time_point nextLine = start, nextByte = start, nextCheck = start;
    Clock::time_point slotStart = start; // start of the current line, or of the current burst
    Clock::time_point lingerEnd = Clock::time_point::max();
    bool sending = true;        // until --count is reached
    unsigned long sent = 0, received = 0;
    const string initialSettings = Settings(pty);
    string settings;
    bool started = !o.waitSetup;
    const char* why = "stopped";

    for (;;) {
        Clock::time_point now = Clock::now();
        if (stopSignal != 0) {
            why = stopSignal == SIGINT ? "interrupted" : "terminated";
            break;
        }
        if (o.duration >= 0 && now - start >= After(o.duration)) {
            why = "time is up";
            break;
        }
        if (now >= lingerEnd) {
            why = "done";
            break;
        }

        if (o.watch && now >= nextCheck) {
            string s = Settings(pty);
            if (s != settings)
                std::printf("port: %s\n", s.c_str());
            settings = s;
            nextCheck = now + pollStep;
        }

        if (!started && Settings(pty) != initialSettings) {
            started = true;
            meter.start = slotStart = nextLine = nextByte = now;
            std::printf("start: the port is set up\n");
        }

        // Start the next line when its time has come and the one before is out.
        if (started && sending && pending.empty() && now >= nextLine) {
            Line l = NextLine(meter, Seconds(now - meter.start));
            pending = l.bytes;
            pendingSaid = l.said;
            pendingNumber = meter.line;
            bool last = o.count > 0 && meter.line >= o.count;
            if (last && o.cut >= 0 && size_t(o.cut) < pending.size()) {
                pending.resize(size_t(o.cut));
                pendingSaid += ", cut after " + std::to_string(o.cut) + " bytes";
            }
            if (o.verbose)
                std::printf("line %ld: %s\n", pendingNumber, pendingSaid.c_str());
            // A burst is its lines back to back; the pause comes after the last of them.
            bool burst = o.scenario == "burst";
            if (!burst || (meter.line - 1) % o.burst == 0)
                slotStart = now;
            bool inBurst = burst && meter.line % o.burst != 0;
            nextLine = inBurst ? now : std::max(now, slotStart + After(o.interval));
            if (nextByte < now)
                nextByte = now;
        }

        // One byte when the line allows it; all at once when there is no pacing.
        if (!pending.empty() && now >= nextByte) {
            size_t n = o.baud > 0 ? 1 : pending.size();
            ssize_t w = write(pty.master, pending.data(), n);
            if (w > 0) {
                pending.erase(0, size_t(w));
                sent += (unsigned long)w;
                nextByte += byteTime * w;
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                std::printf("stop: cannot write to the pseudo-terminal: %s\n", std::strerror(errno));
                break;
            } else {
                nextByte = now + std::chrono::milliseconds(5); // the input queue is full
            }
        }
        if (sending && pending.empty() && o.count > 0 && meter.line >= o.count) {
            sending = false;
            std::printf("done: %ld lines sent, %lu bytes in %.3f s\n", meter.line, sent,
                        Seconds(now - meter.start));
            lingerEnd = now + After(o.linger);
        }

        // Wait for what the device side writes, or until the next thing to do.
        Clock::time_point wake = now + pollStep;
        if (started && sending && pending.empty())
            wake = std::min(wake, nextLine);
        if (!pending.empty())
            wake = std::min(wake, nextByte);
        wake = std::min(wake, lingerEnd);
        int ms = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                wake - Clock::now()).count()));
        pollfd pfd = {pty.master, POLLIN, 0};
        if (poll(&pfd, 1, ms) > 0 && (pfd.revents & POLLIN)) {
            char buf[512];
            ssize_t r = read(pty.master, buf, sizeof buf);
            if (r > 0) {
                received += (unsigned long)r;
                if (o.watch)
                    std::printf("received %zd bytes: \"%s\"\n", r, Escape(string(buf, size_t(r))).c_str());
            }
        }
    }

    if (o.watch) {
        // A change made just before the stop.
        string s = Settings(pty);
        if (s != settings)
            std::printf("port: %s\n", s.c_str());
    }
    if (!pending.empty() && sending)
        std::printf("line %ld cut off: %zu bytes not sent\n", pendingNumber, pending.size());
    if (!o.link.empty())
        RemoveLink(o.link, pty.path);
    std::printf("stop: %s; %ld lines, %lu bytes sent, %lu bytes received\n", why,
                meter.line, sent, received);
    close(pty.device);
    close(pty.master);
    return 0;
}
