// The results sink: see results.h.
//
// Folder names. A value is its own folder name unless that name would be unusable or would
// collide: '%' becomes %25 and '/' %2F; the values ".", ".." become %2E and %2E%2E; the empty
// value becomes a lone %. Every '%' of a name is then either that lone % or the start of %XX, so a
// name decodes to exactly one value. A name longer than NAME_MAX is cut (never inside a %XX) into
// a first folder of at most NAME_MAX bytes and further ones of "%+" and at most NAME_MAX - 2
// bytes: "%+" never starts a name, so the folders that continue a value are told from the next
// name's folder.
//
// Records. CSV and TSV fields are quoted when they hold the delimiter, a quote, a space, CR or LF
// (Stdout and Stderr whenever they are not empty), a quote doubled inside; every byte but these is
// written as it is, so a reader that takes the file as bytes (or Latin-1) gets them back. JSON
// strings are the field's UTF-8 text with \" \\ and \uXXXX for control characters; a field that is
// not valid UTF-8 is written as {"base64": "..."} of its bytes instead, which no string is.

#include "results.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

constexpr size_t nameMax = NAME_MAX;
constexpr size_t chunkBytes = size_t{48} * 1024; // a multiple of 3, for base64

bool writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Calls each(data, size) for the bytes of fd from its start, without moving its offset; false with
// errno set when a read failed or each did.
template <typename Each> bool eachChunk(int fd, Each each) {
    if (fd < 0) {
        return true;
    }
    std::string buffer(chunkBytes, '\0');
    off_t offset = 0;
    for (;;) {
        size_t filled = 0;
        // Whole chunks, so that base64 cuts them at multiples of 3.
        while (filled < buffer.size()) {
            const ssize_t got = pread(fd, buffer.data() + filled, buffer.size() - filled, offset);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                break;
            }
            filled += static_cast<size_t>(got);
            offset += got;
        }
        if (filled > 0 && !each(buffer.data(), filled)) {
            return false;
        }
        if (filled < buffer.size()) {
            return true;
        }
    }
}

long long sizeOf(int fd) {
    struct stat about {};
    return fd >= 0 && fstat(fd, &about) == 0 ? static_cast<long long>(about.st_size) : 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void appendHex(std::string &out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += '%';
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
}

// Decodes one folder's text (no '/', no "%+" lead) into value; false for text folderName never
// writes.
bool decodePart(std::string_view text, std::string &value) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            value += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        value += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// Streams the bytes of a record into its file, with one place to learn whether all got there.
class RecordWriter {
  public:
    explicit RecordWriter(int fd) : fd_(fd) {}
    void add(std::string_view text) {
        buffer_ += text;
        if (buffer_.size() >= chunkBytes) {
            flush();
        }
    }
    void add(char c) { buffer_ += c; }
    bool flush() {
        if (ok_ && !writeAll(fd_, buffer_.data(), buffer_.size())) {
            ok_ = false;
            error_ = errno;
        }
        buffer_.clear();
        return ok_;
    }
    bool ok() const { return ok_; }
    int error() const { return error_; }
    void fail(int error) {
        if (ok_) {
            ok_ = false;
            error_ = error;
        }
    }

  private:
    int fd_;
    std::string buffer_;
    bool ok_ = true;
    int error_ = 0;
};

// A CSV or TSV field, quoted where it needs to be.
void addDelimited(RecordWriter &out, std::string_view field, char delimiter) {
    if (field.find_first_of(std::string{delimiter, '"', ' ', '\n', '\r'}) == std::string::npos) {
        out.add(field);
        return;
    }
    out.add('"');
    for (char c : field) {
        if (c == '"') {
            out.add('"');
        }
        out.add(c);
    }
    out.add('"');
}

// A captured stream as a CSV or TSV field: quoted unless empty.
void addDelimitedStream(RecordWriter &out, int fd) {
    if (sizeOf(fd) == 0) {
        return;
    }
    out.add('"');
    const bool read = eachChunk(fd, [&out](const char *data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == '"') {
                out.add('"');
            }
            out.add(data[i]);
        }
        return out.ok();
    });
    if (!read) {
        out.fail(errno);
    }
    out.add('"');
}

// Whether bytes are valid UTF-8 as a strict decoder takes it (no overlong forms, no surrogates,
// nothing above U+10FFFF), carried across calls in pending (bytes of a character still due).
class Utf8Check {
  public:
    void add(const unsigned char *data, size_t size) {
        for (size_t i = 0; i < size && valid_; ++i) {
            step(data[i]);
        }
    }
    bool valid() const { return valid_ && pending_ == 0; }

  private:
    void step(unsigned char byte) {
        if (pending_ > 0) {
            if (byte < low_ || byte > high_) {
                valid_ = false;
                return;
            }
            low_ = 0x80;
            high_ = 0xBF;
            --pending_;
            return;
        }
        if (byte < 0x80) {
            return;
        }
        low_ = 0x80;
        high_ = 0xBF;
        if (byte >= 0xC2 && byte <= 0xDF) {
            pending_ = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            pending_ = 2;
            low_ = byte == 0xE0 ? 0xA0 : 0x80;
            high_ = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            pending_ = 3;
            low_ = byte == 0xF0 ? 0x90 : 0x80;
            high_ = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            valid_ = false;
        }
    }

    bool valid_ = true;
    int pending_ = 0;
    unsigned char low_ = 0x80;
    unsigned char high_ = 0xBF;
};

void addJsonText(RecordWriter &out, const char *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        switch (byte) {
        case '"':
            out.add("\\\"");
            break;
        case '\\':
            out.add("\\\\");
            break;
        case '\n':
            out.add("\\n");
            break;
        case '\t':
            out.add("\\t");
            break;
        case '\r':
            out.add("\\r");
            break;
        default:
            if (byte < 0x20) {
                const char escape[] = {'\\', 'u', '0', '0', digits[byte >> 4], digits[byte & 0xf]};
                out.add(std::string_view(escape, sizeof escape));
            } else {
                out.add(static_cast<char>(byte));
            }
        }
    }
}

// Base64 of size bytes, size a multiple of 3 unless it is the last piece.
void addBase64(RecordWriter &out, const char *data, size_t size) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < size; i += 3) {
        const size_t left = size - i;
        const auto b0 = static_cast<unsigned char>(data[i]);
        const auto b1 = left > 1 ? static_cast<unsigned char>(data[i + 1]) : 0U;
        const auto b2 = left > 2 ? static_cast<unsigned char>(data[i + 2]) : 0U;
        const unsigned triple = (b0 << 16U) | (b1 << 8U) | b2;
        const char quad[] = {alphabet[(triple >> 18U) & 63U], alphabet[(triple >> 12U) & 63U],
                             left > 1 ? alphabet[(triple >> 6U) & 63U] : '=',
                             left > 2 ? alphabet[triple & 63U] : '='};
        out.add(std::string_view(quad, sizeof quad));
    }
}

void addJsonValue(RecordWriter &out, std::string_view value) {
    Utf8Check check;
    check.add(reinterpret_cast<const unsigned char *>(value.data()), value.size());
    if (check.valid()) {
        out.add('"');
        addJsonText(out, value.data(), value.size());
        out.add('"');
        return;
    }
    out.add("{ \"base64\": \"");
    addBase64(out, value.data(), value.size());
    out.add("\" }");
}

void addJsonStream(RecordWriter &out, int fd) {
    Utf8Check check;
    const bool read = eachChunk(fd, [&check](const char *data, size_t size) {
        check.add(reinterpret_cast<const unsigned char *>(data), size);
        return true;
    });
    if (!read) {
        out.fail(errno);
        return;
    }
    const bool text = check.valid();
    out.add(text ? "\"" : "{ \"base64\": \"");
    const bool copied = eachChunk(fd, [&out, text](const char *data, size_t size) {
        if (text) {
            addJsonText(out, data, size);
        } else {
            addBase64(out, data, size);
        }
        return out.ok();
    });
    if (!copied) {
        out.fail(errno);
    }
    out.add(text ? "\"" : "\" }");
}

std::string formatSeconds(double seconds) {
    std::array<char, 64> text{};
    snprintf(text.data(), text.size(), "%.3f", seconds);
    return text.data();
}

std::string formatStart(timespec start) {
    std::array<char, 64> text{};
    snprintf(text.data(), text.size(), "%lld.%03ld", static_cast<long long>(start.tv_sec),
             start.tv_nsec / 1000000);
    return text.data();
}

// The folder name under the folder at, made when missing, opened; -1 with errno set.
int enterFolder(int at, const std::string &name) {
    if (mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return -1;
    }
    return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Each folder of a name made by folderName (its parts), in order.
std::vector<std::string> partsOf(const std::string &name) {
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        const size_t slash = name.find('/', begin);
        parts.push_back(name.substr(begin, slash - begin));
        if (slash == std::string::npos) {
            return parts;
        }
        begin = slash + 1;
    }
}

// Writes the bytes of from (or text, when from is -1 and text is given) into the file name of the
// folder at, replacing it; false with errno set.
bool writeFile(int at, const char *name, int from, std::string_view text) {
    const int to = openat(at, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (to < 0) {
        return false;
    }
    bool ok = from < 0 ? writeAll(to, text.data(), text.size())
                       : eachChunk(from, [to](const char *data, size_t size) {
                             return writeAll(to, data, size);
                         });
    int error = errno;
    if (close(to) != 0 && ok && errno != EINTR) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

} // namespace

std::string folderName(std::string_view value) {
    if (value.empty()) {
        return "%";
    }
    if (value == ".") {
        return "%2E";
    }
    if (value == "..") {
        return "%2E%2E";
    }
    std::string encoded;
    for (char c : value) {
        if (c == '%' || c == '/') {
            appendHex(encoded, static_cast<unsigned char>(c));
        } else {
            encoded += c;
        }
    }
    if (encoded.size() <= nameMax) {
        return encoded;
    }
    std::string name;
    size_t at = 0;
    while (at < encoded.size()) {
        const size_t room = at == 0 ? nameMax : nameMax - 2;
        size_t take = std::min(room, encoded.size() - at);
        // Never inside a %XX: a '%' among the last two bytes taken starts one.
        const size_t end = at + take;
        if (end < encoded.size()) {
            if (encoded[end - 1] == '%') {
                take -= 1;
            } else if (encoded[end - 2] == '%') {
                take -= 2;
            }
        }
        if (at > 0) {
            name += "/%+";
        }
        name.append(encoded, at, take);
        at += take;
    }
    return name;
}

bool valueOfFolder(std::string_view name, std::string &value) {
    value.clear();
    if (name == "%") {
        return true;
    }
    const std::string_view whole = name;
    bool first = true;
    for (;;) {
        const size_t slash = name.find('/');
        std::string_view part = name.substr(0, slash);
        if (!first) {
            if (part.substr(0, 2) != "%+") {
                return false;
            }
            part.remove_prefix(2);
        }
        if (part.empty() || !decodePart(part, value)) {
            return false;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        name.remove_prefix(slash + 1);
        first = false;
    }
    // Only the names folderName makes: escapes it would not have written, or a cut elsewhere.
    return folderName(value) == whole;
}

Results::~Results() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

Results::Form Results::formOf(std::string_view target) {
    auto endsWith = [target](std::string_view ending) {
        return target.size() > ending.size() &&
               target.substr(target.size() - ending.size()) == ending;
    };
    if (endsWith(".csv")) {
        return Form::csv;
    }
    if (endsWith(".tsv")) {
        return Form::tsv;
    }
    if (endsWith(".json")) {
        return Form::json;
    }
    return Form::folder;
}

bool Results::open(const std::string &target, size_t valueColumns, bool resumed,
                   std::string &error) {
    form_ = formOf(target);
    target_ = target;
    valueColumns_ = valueColumns;
    if (form_ == Form::folder) {
        // Its parents too, as mkdir -p makes them.
        for (size_t slash = target.find('/', 1);; slash = target.find('/', slash + 1)) {
            const std::string prefix = target.substr(0, slash);
            if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
                error = "cannot make the results folder " + prefix + ": " + strerror(errno);
                return false;
            }
            if (slash == std::string::npos) {
                break;
            }
        }
        struct stat about {};
        if (stat(target.c_str(), &about) != 0 || !S_ISDIR(about.st_mode)) {
            error = "the results folder " + target + " is not a folder";
            return false;
        }
        return true;
    }
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open the results file " + target + ": " + strerror(errno);
        return false;
    }
    if (!resumed && ftruncate(fd_, 0) != 0) {
        error = "cannot empty the results file " + target + ": " + strerror(errno);
        return false;
    }
    if (form_ == Form::json || sizeOf(fd_) > 0) {
        return true;
    }
    const char delimiter = form_ == Form::csv ? ',' : '\t';
    std::string header;
    for (const char *column :
         {"Seq", "Host", "Starttime", "JobRuntime", "Send", "Receive", "Exitval", "Signal"}) {
        header += column;
        header += delimiter;
    }
    header += "Command";
    for (size_t i = 1; i <= valueColumns; ++i) {
        header += delimiter;
        header += "V" + std::to_string(i);
    }
    header += delimiter;
    header += "Stdout";
    header += delimiter;
    header += "Stderr\n";
    if (!writeAll(fd_, header.data(), header.size())) {
        error = "cannot write the results file " + target + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool Results::keep(const CommandValues &values, const CommandOutcome &outcome, int out, int err,
                   std::string &error) {
    return form_ == Form::folder ? keepInFolder(values, outcome, out, err, error)
                                 : keepRecord(values, outcome, out, err, error);
}

bool Results::keepInFolder(const CommandValues &values, const CommandOutcome &outcome, int out,
                           int err, std::string &error) {
    std::string path = target_;
    int folder = ::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = folder >= 0;
    for (size_t i = 0; ok && i < values.values.size(); ++i) {
        const std::string name =
            values.names.empty() ? std::to_string(i + 1) : folderName(values.names[i]);
        for (const std::string &component : {name, folderName(values.values[i])}) {
            for (const std::string &part : partsOf(component)) {
                path += '/';
                path += part;
                const int inner = enterFolder(folder, part);
                const int cause = errno;
                close(folder);
                folder = inner;
                errno = cause;
                ok = folder >= 0;
                if (!ok) {
                    break;
                }
            }
            if (!ok) {
                break;
            }
        }
    }
    // The seq file last: it is there only when the others are whole.
    ok = ok && writeFile(folder, "stdout", out, {}) && writeFile(folder, "stderr", err, {}) &&
         writeFile(folder, "seq", -1, std::to_string(outcome.seq));
    if (!ok) {
        error = "cannot keep the results in " + path + ": " + strerror(errno);
        if (folder >= 0) {
            for (const char *name : {"stdout", "stderr", "seq"}) {
                unlinkat(folder, name, 0);
            }
        }
    }
    if (folder >= 0) {
        close(folder);
    }
    return ok;
}

bool Results::keepRecord(const CommandValues &values, const CommandOutcome &outcome, int out,
                         int err, std::string &error) {
    if (form_ != Form::json && values.values.size() > valueColumns_) {
        error = "a command has more values than the results file " + target_ + " has columns";
        return false;
    }
    const off_t before = lseek(fd_, 0, SEEK_END);
    RecordWriter record(fd_);
    const std::string numbers[] = {std::to_string(outcome.seq),
                                   outcome.host.empty() ? ":" : std::string(outcome.host),
                                   formatStart(outcome.start),
                                   formatSeconds(outcome.seconds),
                                   "0",
                                   std::to_string(sizeOf(out)),
                                   std::to_string(outcome.exitCode),
                                   std::to_string(outcome.signal)};
    if (form_ == Form::json) {
        static const char *const names[] = {"Seq",  "Host",    "Starttime", "JobRuntime",
                                            "Send", "Receive", "Exitval",   "Signal"};
        record.add("{ ");
        for (size_t i = 0; i < std::size(names); ++i) {
            record.add('"');
            record.add(names[i]);
            record.add("\": ");
            if (i == 1) {
                addJsonValue(record, numbers[i]);
            } else {
                record.add(numbers[i]);
            }
            record.add(", ");
        }
        record.add("\"Command\": ");
        addJsonValue(record, outcome.command);
        record.add(", \"V\": [ ");
        for (size_t i = 0; i < values.values.size(); ++i) {
            if (i > 0) {
                record.add(", ");
            }
            addJsonValue(record, values.values[i]);
        }
        record.add(" ], \"Stdout\": ");
        addJsonStream(record, out);
        record.add(", \"Stderr\": ");
        addJsonStream(record, err);
        record.add(" }\n");
    } else {
        const char delimiter = form_ == Form::csv ? ',' : '\t';
        for (const std::string &number : numbers) {
            record.add(number);
            record.add(delimiter);
        }
        addDelimited(record, outcome.command, delimiter);
        for (size_t i = 0; i < valueColumns_; ++i) {
            record.add(delimiter);
            if (i < values.values.size()) {
                addDelimited(record, values.values[i], delimiter);
            }
        }
        record.add(delimiter);
        addDelimitedStream(record, out);
        record.add(delimiter);
        addDelimitedStream(record, err);
        record.add('\n');
    }
    record.flush();
    if (!record.ok()) {
        error = "cannot write the results file " + target_ + ": " + strerror(record.error());
        // What got there of the record is cut off: the file keeps whole records only.
        if (before >= 0 && ftruncate(fd_, before) != 0) {
            error += "; a partial record is left at its end";
        }
        return false;
    }
    return true;
}

bool Results::finish(std::string &error) {
    if (fd_ < 0) {
        return true;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 && errno != EINTR) {
        error = "cannot write the results file " + target_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace fanrun_cli
