// rangectl's command line: options, the action and its words.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "options.h"

const char rangectl_usage_text[] =
    "usage: rangectl [options] shot SENSOR\n"
    "       rangectl [options] start SENSOR PERIOD_MS\n"
    "       rangectl [options] stop [SENSOR]\n"
    "       rangectl [options] watch SENSOR PERIOD_MS [-n COUNT]\n"
    "       rangectl [options] read [-n COUNT]\n"
    "options:\n"
    "  --fifo-dir DIR     use DIR/rtf1 and DIR/rtf2 (default /dev/rtf1, /dev/rtf2)\n"
    "  --cmd-fifo PATH    the command FIFO (default /dev/rtf1)\n"
    "  --data-fifo PATH   the data FIFO (default /dev/rtf2)\n"
    "  -t MS              timeout: shot 200, watch 3 periods + 200, read none\n"
    "  -n COUNT           watch: end after COUNT periods; read: after COUNT values\n"
    "  --raw              9999 for no echo, -369045 for out of range\n"
    "  -h, --help         this text\n"
    "  --version          the version and the source commit\n"
    "SENSOR 1-256, PERIOD_MS 1-2147483647.  Exit status: 0 done, 1 shot without echo,\n"
    "2 usage, 3 FIFO missing, 4 FIFO busy or not permitted, 5 no answer, 6 I/O error,\n"
    "7 shot refused: periodic ranging is running, 8 output not written.\n";

// A whole decimal word from lo to hi.
static int number_from_word(const char *word, long lo, long hi, long *number)
{
    char *end = 0;
    errno = 0;
    long v = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || v < lo || v > hi)
        return 1;
    *number = v;
    return 0;
}

static int usage_error(const char *what, const char *word)
{
    if (word)
        std::fprintf(stderr, "rangectl: %s: %s\n", what, word);
    else
        std::fprintf(stderr, "rangectl: %s\n", what);
    std::fputs(rangectl_usage_text, stderr);
    return EXIT_USAGE;
}

static int path_set(char *dest, const char *dir, const char *name)
{
    int n = name ? std::snprintf(dest, 4096, "%s/%s", dir, name) : std::snprintf(dest, 4096, "%s", dir);
    return n < 0 || n >= 4096;
}

// Fills *s from the command line (options.h).
int options_parse(int argc, char **argv, struct rangectl_settings *s)
{
    const char *words[4];
    int nwords = 0;

    path_set(s->cmd_fifo, "/dev/rtf1", 0);
    path_set(s->data_fifo, "/dev/rtf2", 0);
    s->action = ACTION_NONE;
    s->timeout = -1;
    s->count = -1;
    s->raw = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : 0;
        long n;
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help"))
            return -1;
        if (!std::strcmp(a, "--version"))
            return -2;
        if (!std::strcmp(a, "--raw")) {
            s->raw = 1;
        } else if (!std::strcmp(a, "--fifo-dir") || !std::strcmp(a, "--cmd-fifo") ||
                   !std::strcmp(a, "--data-fifo")) {
            if (!value)
                return usage_error("missing value of", a);
            int bad = 0;
            if (!std::strcmp(a, "--fifo-dir"))
                bad = path_set(s->cmd_fifo, value, "rtf1") | path_set(s->data_fifo, value, "rtf2");
            else
                bad = path_set(!std::strcmp(a, "--cmd-fifo") ? s->cmd_fifo : s->data_fifo, value, 0);
            if (bad)
                return usage_error("path too long", value);
            ++i;
        } else if (!std::strcmp(a, "-t") || !std::strcmp(a, "-n")) {
            if (!value)
                return usage_error("missing value of", a);
            if (number_from_word(value, a[1] == 't' ? 0 : 1, 2147483647L, &n) != 0)
                return usage_error(a[1] == 't' ? "not a timeout in milliseconds" : "not a count", value);
            if (a[1] == 't')
                s->timeout = n;
            else
                s->count = n;
            ++i;
        } else if (a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option", a);
        } else {
            if (nwords == 4)
                return usage_error("too many words", a);
            words[nwords++] = a;
        }
    }

    if (nwords == 0)
        return usage_error("no action given", 0);
    static const struct {
        const char *name;
        int action;
        int min_args, max_args;
    } actions[] = {
        {"shot", ACTION_SHOT, 1, 1},   {"start", ACTION_START, 2, 2}, {"stop", ACTION_STOP, 0, 1},
        {"watch", ACTION_WATCH, 2, 2}, {"read", ACTION_READ, 0, 0},
    };
    for (const auto &act : actions) {
        if (std::strcmp(words[0], act.name) != 0)
            continue;
        int args = nwords - 1;
        if (args < act.min_args || args > act.max_args)
            return usage_error("wrong number of words for", act.name);
        s->action = act.action;
    }
    if (s->action == ACTION_NONE)
        return usage_error("unknown action", words[0]);

    // Sensor numbers count from 1; the board takes the low 8 bits of the
    // channel (sensor - 1), so 256 is the last one that means itself.  A stop
    // record names a sensor too: should the period end while the module is
    // still taking the record in, that shot goes to it (sensor 1 by default)
    // rather than to channel 0xFF.
    long n = 1;
    if (nwords > 1 && number_from_word(words[1], 1, 256, &n) != 0)
        return usage_error("not a sensor number (1-256)", words[1]);
    s->sensor = (int)n;
    // A period of zero or less is passed on to the platform unchecked, with
    // an outcome nobody can vouch for: refused here.
    s->period = 0;
    if (nwords > 2) {
        if (number_from_word(words[2], 1, 2147483647L, &n) != 0)
            return usage_error("not a period in milliseconds (1-2147483647)", words[2]);
        s->period = (int)n;
    }
    if (s->count >= 0 && s->action != ACTION_WATCH && s->action != ACTION_READ)
        return usage_error("-n goes with watch and read", 0);
    if (s->timeout >= 0 && (s->action == ACTION_START || s->action == ACTION_STOP))
        return usage_error("-t goes with shot, watch and read", 0);
    return 0;
}

// Opens a FIFO without waiting for its other side; on failure says why and
