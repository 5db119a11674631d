#include "sims/common/front_end.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

// Column at which an option's help begins.
constexpr std::size_t kHelpColumn = 27;

bool hex_digits(const std::string &text)
{
    if (text.empty() || text.size() > 8)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

} // namespace

std::string help_text(const ProgramDoc &doc)
{
    std::string text = doc.usage;
    text += doc.about;
    for (std::size_t i = 0; i < doc.count; ++i) {
        const OptionDoc &o = doc.options[i];
        std::string head = std::string("  ") + o.name + o.value;
        head += head.size() + 1 > kHelpColumn ? std::string(" ") : std::string(kHelpColumn - head.size(), ' ');
        text += head;
        for (const char *h = o.help; *h; ++h) {
            text += *h;
            if (*h == '\n' && h[1])
                text += std::string(kHelpColumn, ' ');
        }
        text += '\n';
    }
    text += doc.notes;
    return text;
}

const OptionDoc *find_option(const ProgramDoc &doc, const std::string &word)
{
    const std::string name = word.substr(0, word.find('='));
    for (std::size_t i = 0; i < doc.count; ++i)
        if (name == doc.options[i].name)
            return &doc.options[i];
    return nullptr;
}

ValueForm value_form(const OptionDoc &option)
{
    switch (option.value[0]) {
    case '\0':
        return ValueForm::None;
    case '[':
        return ValueForm::Optional;
    case ' ':
        return ValueForm::NextArgument;
    default:
        return ValueForm::Needed;
    }
}

bool option_value(const OptionDoc &option, const std::string &word, std::string &value, bool &given)
{
    std::size_t eq = word.find('=');
    given = eq != std::string::npos;
    value = given ? word.substr(eq + 1) : std::string();
    switch (value_form(option)) {
    case ValueForm::None:
    case ValueForm::NextArgument:
        return !given;
    case ValueForm::Optional:
        return true;
    case ValueForm::Needed:
        return given;
    }
    return false;
}

int command_line_error(const char *program, const std::string &reason, const ProgramDoc &doc)
{
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    std::fputs(help_text(doc).c_str(), stderr);
    return kFrontEndError;
}

int front_end_error(const char *program, const std::string &reason)
{
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    return kFrontEndError;
}

int print_text(const char *program, const std::string &text)
{
    std::fputs(text.c_str(), stdout);
    if (!stdout_written())
        return front_end_error(program, write_error("standard output", errno));
    return 0;
}

bool parse_port(const std::string &text, std::uint16_t &port)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (!hex_digits(digits))
        return false;
    unsigned long v = std::strtoul(digits.c_str(), nullptr, 16);
    if (v > 0xFFFF)
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

bool parse_port_range(const std::string &text, std::uint16_t &first, unsigned &count)
{
    std::size_t dash = text.find('-');
    std::uint16_t from = 0, to = 0;
    if (!parse_port(text.substr(0, dash), from))
        return false;
    to = from;
    if (dash != std::string::npos && (!parse_port(text.substr(dash + 1), to) || to < from))
        return false;
    first = from;
    count = static_cast<unsigned>(to - from) + 1;
    return true;
}

std::string write_error(const std::string &path, int err)
{
    return "cannot write " + path + ": " + std::strerror(err);
}

FdOstream::Buffer::Buffer(int fd) : fd_(fd)
{
    setp(data_, data_ + sizeof data_);
}

int FdOstream::Buffer::drain()
{
    const char *p = pbase();
    std::size_t n = static_cast<std::size_t>(pptr() - pbase());
    while (n > 0 && error == 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            error = w < 0 ? errno : EIO;
            break;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    // What could not be written is dropped: the error is what is kept.
    setp(data_, data_ + sizeof data_);
    return error;
}

FdOstream::Buffer::int_type FdOstream::Buffer::overflow(int_type c)
{
    drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int FdOstream::Buffer::sync()
{
    drain();
    return 0;
}

FdOstream::FdOstream(int fd) : std::ostream(nullptr), buffer_(fd)
{
    rdbuf(&buffer_);
}

FdOstream::~FdOstream()
{
    buffer_.drain();
}

int FdOstream::finish()
{
    return buffer_.drain();
}

OutputFile::~OutputFile()
{
    if (file_)
        std::fclose(file_);
}

bool OutputFile::open()
{
    file_ = std::fopen(path_.c_str(), "w");
    if (!file_)
        error_ = write_error(path_, errno);
    return file_ != nullptr;
}

bool OutputFile::finish()
{
    if (!file_)
        return error_.empty();
    int err = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_))
        err = errno ? errno : EIO;
    if (std::fclose(file_) != 0 && err == 0)
        err = errno;
    file_ = nullptr;
    if (err != 0)
        error_ = write_error(path_, err);
    return err == 0;
}

bool write_whole_file(const std::string &path, const void *data, std::size_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const char *p = static_cast<const char *>(data);
    int err = 0;
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err == 0)
        err = errno;
    errno = err;
    return err == 0;
}

bool stdout_written()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    return true;
}

} // namespace bench
