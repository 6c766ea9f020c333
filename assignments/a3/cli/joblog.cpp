// The job log: its format (one tab-separated line per record), appending records as commands
// start and end, reading a log back into an index of where each command stands, and
// `fanrun --failed`.

#include "joblog.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_joblog {

const char header[] = "event\tstart\truntime\texit\tsignal\tattempt\toccurrence\targument";
const char hostHeader[] =
    "event\tstart\truntime\texit\tsignal\tattempt\toccurrence\targument\thost";

namespace {

constexpr size_t fieldCount = 8; // and the host's after them, in a log of a run over hosts

// Longer than any record the log writes (exec takes an argument of at most 128 KiB, escaped at
// most four times as long): a longer line is read past, not held, so that reading a log takes
// bounded memory whatever its torn tail.
constexpr size_t longestLine = size_t{4} << 20;

// Bytes that would break the line or the field, and the escape character itself.
bool needsEscape(unsigned char byte) {
    return byte < 32 || byte == 127 || byte == '\\';
}

// A number as the log writes it: digits only, no leading zero but in "0", from min to max.
bool canonicalNumber(std::string_view text, size_t maxDigits, long min, long max, long &value) {
    if (text.empty() || text.size() > maxDigits || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    value = result;
    return result >= min && result <= max;
}

// Seconds as the log writes them: digits, '.', exactly six digits.
bool seconds(std::string_view text, timespec &value) {
    const size_t dot = text.find('.');
    long whole = 0;
    long micros = 0;
    if (dot == std::string_view::npos || text.size() - dot != 7 ||
        !canonicalNumber(text.substr(0, dot), 15, 0, 999999999999999L, whole)) {
        return false;
    }
    for (char c : text.substr(dot + 1)) {
        if (c < '0' || c > '9') {
            return false;
        }
        micros = micros * 10 + (c - '0');
    }
    value.tv_sec = static_cast<time_t>(whole);
    value.tv_nsec = micros * 1000;
    return true;
}

// The index packs a key's state into the low bits of its value and the attempt of its last start
// above them.
constexpr uint32_t stateBits = 2;
constexpr uint32_t stateMask = (1U << stateBits) - 1;
constexpr long maxAttempt = (1L << (32 - stateBits)) - 1;

uint32_t indexState(State state, long attempt) {
    return static_cast<uint32_t>(std::min(attempt, maxAttempt)) << stateBits |
           static_cast<uint32_t>(state);
}

State stateOf(uint32_t value) {
    return static_cast<State>(value & stateMask);
}

long attemptOf(uint32_t value) {
    return static_cast<long>(value >> stateBits);
}

// SipHash-1-3: a keyed hash, so that which keys share a digest depends on a key no input knows.
class SipHash {
  public:
    SipHash(uint64_t k0, uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ULL), v1_(k1 ^ 0x646f72616e646f6dULL),
          v2_(k0 ^ 0x6c7967656e657261ULL), v3_(k1 ^ 0x7465646279746573ULL) {}

    void word(uint64_t m) {
        v3_ ^= m;
        round();
        v0_ ^= m;
    }

    uint64_t finish() {
        v2_ ^= 0xff;
        round();
        round();
        round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

  private:
    static uint64_t rotate(uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

    void round() {
        v0_ += v1_;
        v1_ = rotate(v1_, 13) ^ v0_;
        v0_ = rotate(v0_, 32);
        v2_ += v3_;
        v3_ = rotate(v3_, 16) ^ v2_;
        v0_ += v3_;
        v3_ = rotate(v3_, 21) ^ v0_;
        v2_ += v1_;
        v1_ = rotate(v1_, 17) ^ v2_;
        v2_ = rotate(v2_, 32);
    }

    uint64_t v0_, v1_, v2_, v3_;
};

struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

HashKey randomKey() {
    HashKey key;
    if (getrandom(&key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
        // Without the kernel's randomness the digests are still good, only predictable.
        timespec clock{};
        clock_gettime(CLOCK_MONOTONIC, &clock);
        key.k0 = static_cast<uint64_t>(clock.tv_nsec) * 0x9e3779b97f4a7c15ULL ^
                 static_cast<uint64_t>(getpid());
        key.k1 = static_cast<uint64_t>(clock.tv_sec) * 0xc2b2ae3d27d4eb4fULL;
    }
    return key;
}

// The outcome of reading a log from its start.
enum class Scanned { Whole, ReadError, NotALog };

struct Scan {
    off_t whole = 0; // just after the last '\n'
    off_t size = 0;
    long ignored = 0; // whole lines after the header that are not records
    bool headed = false;
    bool hosts = false;  // the header has the host column
    bool closed = false; // the last whole line is a closing record
    long arguments = 0;  // ... its count
    uint64_t digest = 0; // ... and digest
    int error = 0;
};

// Reads fd to its end and gives each whole record to each. The first line must be the header;
// without any whole line, what there is must be the start of one (a log torn while created).
template <typename Each> Scanned scan(int fd, Scan &state, Each &&each) {
    const std::string_view expected(header);
    // The plain header is the start of the one with hosts: a torn header is the start of both.
    const std::string_view withHosts(hostHeader);
    std::string pending;
    bool overlong = false; // the pending line is longer than longestLine: its bytes are dropped
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            state.error = errno;
            return Scanned::ReadError;
        }
        if (got == 0) {
            break;
        }
        state.size += got;
        const std::string_view chunk(buffer, static_cast<size_t>(got));
        size_t from = 0;
        for (size_t newline; (newline = chunk.find('\n', from)) != std::string_view::npos;
             from = newline + 1) {
            std::string_view line = chunk.substr(from, newline - from);
            if (!pending.empty()) {
                pending += line;
                line = pending;
            }
            Record record;
            if (overlong || line.size() > longestLine) {
                if (!state.headed) {
                    return Scanned::NotALog;
                }
                ++state.ignored;
                state.closed = false;
            } else if (!state.headed) {
                if (line != expected && line != withHosts) {
                    return Scanned::NotALog;
                }
                state.headed = true;
                state.hosts = line == withHosts;
            } else if (parseRecord(line, record, state.hosts)) {
                state.closed = false;
                each(std::move(record));
            } else if (parseClosing(line, state.arguments, state.digest)) {
                state.closed = true;
            } else {
                ++state.ignored;
            }
            pending.clear();
            overlong = false;
            state.whole = state.size - got + static_cast<off_t>(newline) + 1;
        }
        if (!overlong) {
            pending.append(chunk.substr(from));
        }
        if (!state.headed && pending.size() > withHosts.size()) {
            return Scanned::NotALog;
        }
        if (pending.size() > longestLine) {
            overlong = true;
            pending.clear();
            pending.shrink_to_fit();
        }
    }
    if (!state.headed && withHosts.substr(0, pending.size()) != pending) {
        return Scanned::NotALog;
    }
    return Scanned::Whole;
}

void reportScan(Scanned scanned, const Scan &state, const char *path) {
    if (scanned == Scanned::ReadError) {
        fprintf(stderr, "fanrun: cannot read the job log %s: %s\n", path, strerror(state.error));
    } else if (scanned == Scanned::NotALog) {
        fprintf(stderr, "fanrun: %s is not a job log: it does not start with the job log header\n",
                path);
    } else if (state.ignored > 0) {
        fprintf(stderr, "fanrun: the job log %s holds %ld lines that are not records; ignored\n",
                path, state.ignored);
    }
}

double since(const timespec &earlier, const timespec &later) {
    return static_cast<double>(later.tv_sec - earlier.tv_sec) +
           static_cast<double>(later.tv_nsec - earlier.tv_nsec) / 1e9;
}

} // namespace

std::string escapeArgument(std::string_view argument) {
    std::string field;
    field.reserve(argument.size());
    for (char c : argument) {
        const auto byte = static_cast<unsigned char>(c);
        if (!needsEscape(byte)) {
            field += c;
            continue;
        }
        field += '\\';
        switch (byte) {
        case '\\':
            field += '\\';
            break;
        case '\t':
            field += 't';
            break;
        case '\n':
            field += 'n';
            break;
        case '\r':
            field += 'r';
            break;
        default:
            field += 'x';
            field += "0123456789abcdef"[byte >> 4];
            field += "0123456789abcdef"[byte & 15];
            break;
        }
    }
    return field;
}

bool unescapeArgument(std::string_view field, std::string &argument) {
    if (std::none_of(field.begin(), field.end(),
                     [](char c) { return needsEscape(static_cast<unsigned char>(c)); })) {
        argument = field;
        return true;
    }
    std::string bytes;
    bytes.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            bytes += field[i];
            continue;
        }
        if (i + 1 == field.size()) {
            return false;
        }
        const char kind = field[++i];
        if (kind == '\\' || kind == 't' || kind == 'n' || kind == 'r') {
            bytes += kind == '\\' ? '\\' : kind == 't' ? '\t' : kind == 'n' ? '\n' : '\r';
            continue;
        }
        static const std::string_view hex = "0123456789abcdef";
        if (kind != 'x' || i + 2 >= field.size() || hex.find(field[i + 1]) == hex.npos ||
            hex.find(field[i + 2]) == hex.npos) {
            return false;
        }
        bytes += static_cast<char>(hex.find(field[i + 1]) * 16 + hex.find(field[i + 2]));
        i += 2;
    }
    // Only the one spelling escapeArgument makes: no raw control byte, no needless \xHH.
    if (escapeArgument(bytes) != field) {
        return false;
    }
    argument = std::move(bytes);
    return true;
}

std::string tupleKey(const std::vector<std::string> &values) {
    std::string key(1, '\0');
    for (const std::string &value : values) {
        if (&value != &values.front()) {
            key += '\t';
        }
        key += escapeArgument(value);
    }
    return key;
}

bool tupleValues(std::string_view key, std::vector<std::string> &values) {
    values.clear();
    if (key.empty() || key[0] != '\0') {
        return false;
    }
    key.remove_prefix(1);
    for (size_t from = 0;;) {
        const size_t tab = std::min(key.find('\t', from), key.size());
        values.emplace_back();
        if (!unescapeArgument(key.substr(from, tab - from), values.back())) {
            return false;
        }
        if (tab == key.size()) {
            return true;
        }
        from = tab + 1;
    }
}

std::string formatRecord(const Record &record) {
    char numbers[128];
    const bool end = record.event == Event::End;
    char runTime[48] = "-";
    char exitCode[16] = "-";
    char signal[16] = "-";
    if (end) {
        double run = record.runSeconds >= 0 ? record.runSeconds : 0;
        snprintf(runTime, sizeof runTime, "%.6f", run < 1e14 ? run : 1e14);
        if (record.signal > 0) {
            snprintf(signal, sizeof signal, "%d", record.signal);
        } else {
            snprintf(exitCode, sizeof exitCode, "%d", record.exitCode);
        }
    }
    snprintf(numbers, sizeof numbers, "%s\t%lld.%06ld\t%s\t%s\t%s\t%ld\t%ld\t",
             end ? "end" : "start", static_cast<long long>(record.start.tv_sec),
             record.start.tv_nsec / 1000, runTime, exitCode, signal, record.attempt,
             record.occurrence);
    std::string line = numbers;
    if (!record.argument.empty() && record.argument[0] == '\0') {
        // A tuple's fields are escaped already.
        line.append(record.argument, 1);
    } else {
        line += escapeArgument(record.argument);
    }
    if (!record.host.empty()) {
        line += '\t';
        line += escapeArgument(record.host);
    }
    line += '\n';
    return line;
}

bool parseRecord(std::string_view line, Record &record, bool hosts) {
    std::string_view fields[fieldCount + 1];
    size_t count = 0;
    size_t from = 0;
    for (size_t tab;
         count < fieldCount - 1 && (tab = line.find('\t', from)) != std::string_view::npos;
         from = tab + 1) {
        fields[count++] = line.substr(from, tab - from);
    }
    if (count != fieldCount - 1) {
        return false;
    }
    // A tuple's values are a field each, from the last on; in a log of a run over hosts every
    // record ends with the host's field.
    fields[count] = line.substr(from);
    Record parsed;
    if (hosts) {
        const size_t tab = fields[count].rfind('\t');
        if (tab == std::string_view::npos) {
            return false;
        }
        fields[fieldCount] = fields[count].substr(tab + 1);
        fields[count] = fields[count].substr(0, tab);
        if (fields[fieldCount].empty() || !unescapeArgument(fields[fieldCount], parsed.host)) {
            return false;
        }
    }
    const bool tuple = fields[count].find('\t') != std::string_view::npos;

    long exitCode = -1;
    long signal = 0;
    if (fields[0] == "start") {
        if (fields[2] != "-" || fields[3] != "-" || fields[4] != "-") {
            return false;
        }
    } else if (fields[0] == "end") {
        parsed.event = Event::End;
        timespec run{};
        const bool exited = fields[3] != "-";
        if (!seconds(fields[2], run) || exited == (fields[4] != "-") ||
            (exited && !canonicalNumber(fields[3], 3, 0, 255, exitCode)) ||
            (!exited && !canonicalNumber(fields[4], 3, 1, 127, signal))) {
            return false;
        }
        parsed.runSeconds =
            static_cast<double>(run.tv_sec) + static_cast<double>(run.tv_nsec) / 1e9;
    } else {
        return false;
    }
    if (!seconds(fields[1], parsed.start) ||
        !canonicalNumber(fields[5], 15, 1, 999999999999999L, parsed.attempt) ||
        !canonicalNumber(fields[6], 15, 1, 999999999999999L, parsed.occurrence)) {
        return false;
    }
    if (tuple) {
        parsed.argument = '\0';
        parsed.argument += fields[7];
        std::vector<std::string> values;
        if (!tupleValues(parsed.argument, values)) {
            return false;
        }
    } else if (!unescapeArgument(fields[7], parsed.argument)) {
        return false;
    }
    parsed.exitCode = static_cast<int>(exitCode);
    parsed.signal = static_cast<int>(signal);
    record = std::move(parsed);
    return true;
}

uint64_t digestArgument(uint64_t digest, std::string_view argument, char delimiter) {
    constexpr uint64_t prime = 1099511628211ULL;
    for (char c : argument) {
        digest = (digest ^ static_cast<unsigned char>(c)) * prime;
    }
    return (digest ^ static_cast<unsigned char>(delimiter)) * prime;
}

std::string formatClosing(timespec at, long arguments, uint64_t digest) {
    char line[128];
    snprintf(line, sizeof line, "closed\t%lld.%06ld\t-\t-\t-\t-\t%ld\t%016llx\n",
             static_cast<long long>(at.tv_sec), at.tv_nsec / 1000, arguments,
             static_cast<unsigned long long>(digest));
    return line;
}

bool parseClosing(std::string_view line, long &arguments, uint64_t &digest) {
    constexpr std::string_view start = "closed\t";
    constexpr std::string_view dashes = "\t-\t-\t-\t-\t";
    if (line.substr(0, start.size()) != start) {
        return false;
    }
    line.remove_prefix(start.size());
    const size_t tab = line.find('\t');
    timespec at{};
    if (tab == std::string_view::npos || !seconds(line.substr(0, tab), at) ||
        line.substr(tab, dashes.size()) != dashes) {
        return false;
    }
    line.remove_prefix(tab + dashes.size());
    const size_t last = line.find('\t');
    long count = 0;
    if (last == std::string_view::npos ||
        !canonicalNumber(line.substr(0, last), 15, 0, 999999999999999L, count) ||
        line.size() - last - 1 != 16) {
        return false;
    }
    uint64_t value = 0;
    for (char c : line.substr(last + 1)) {
        static const std::string_view hex = "0123456789abcdef";
        const size_t at = hex.find(c);
        if (at == std::string_view::npos) {
            return false;
        }
        value = value << 4 | at;
    }
    arguments = count;
    digest = value;
    return true;
}

bool resumeSkips(State state, bool failedToo) {
    return state == State::Succeeded || (state == State::Failed && !failedToo);
}

uint64_t keyDigest(uint64_t prefix, std::string_view bytes) {
    static const HashKey key = randomKey();
    SipHash hash(key.k0, key.k1);
    hash.word(prefix);
    size_t at = 0;
    for (; bytes.size() - at >= 8; at += 8) {
        uint64_t m = 0;
        for (int i = 7; i >= 0; --i) {
            m = m << 8 | static_cast<unsigned char>(bytes[at + i]);
        }
        hash.word(m);
    }
    uint64_t last = static_cast<uint64_t>(bytes.size() + 8) << 56;
    for (size_t i = bytes.size(); i > at; --i) {
        last |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i - 1])) << 8 * (i - 1 - at);
    }
    hash.word(last);
    const uint64_t digest = hash.finish();
    return digest != 0 ? digest : 1;
}

template <typename Value> size_t DigestTable<Value>::slotOf(uint64_t digest) const {
    // The digests are uniform already: their low bits are the slot.
    size_t slot = static_cast<size_t>(digest) & (capacity_ - 1);
    while (digests_[slot] != 0 && digests_[slot] != digest) {
        slot = (slot + 1) & (capacity_ - 1);
    }
    return slot;
}

template <typename Value> const Value *DigestTable<Value>::find(uint64_t digest) const {
    if (capacity_ == 0) {
        return nullptr;
    }
    const size_t slot = slotOf(digest);
    return digests_[slot] == digest ? &values_[slot] : nullptr;
}

template <typename Value> Value &DigestTable<Value>::at(uint64_t digest) {
    if (capacity_ > 0) {
        const size_t slot = slotOf(digest);
        if (digests_[slot] == digest) {
            return values_[slot];
        }
    }
    if (size_ + 1 > capacity_ / 4 * 3) {
        grow(capacity_ == 0 ? 1024 : capacity_ * 2);
    }
    const size_t slot = slotOf(digest);
    digests_[slot] = digest;
    values_[slot] = 0;
    ++size_;
    return values_[slot];
}

template <typename Value> void DigestTable<Value>::reserve(size_t count) {
    size_t capacity = capacity_ == 0 ? 1024 : capacity_;
    while (count > capacity / 4 * 3) {
        if (capacity > SIZE_MAX / 2) {
            throw std::bad_alloc();
        }
        capacity *= 2;
    }
    if (capacity > capacity_) {
        grow(capacity);
    }
}

template <typename Value> void DigestTable<Value>::grow(size_t capacity) {
    if (capacity <= capacity_) {
        throw std::bad_alloc();
    }
    std::unique_ptr<uint64_t[], Free> digests(
        static_cast<uint64_t *>(std::calloc(capacity, sizeof(uint64_t))));
    std::unique_ptr<Value[], Free> values(
        static_cast<Value *>(std::calloc(capacity, sizeof(Value))));
    if (!digests || !values) {
        throw std::bad_alloc();
    }
    std::swap(digests, digests_);
    std::swap(values, values_);
    const size_t old = capacity_;
    capacity_ = capacity;
    for (size_t i = 0; i < old; ++i) {
        if (digests[i] != 0) {
            const size_t slot = slotOf(digests[i]);
            digests_[slot] = digests[i];
            values_[slot] = values[i];
        }
    }
}

template <typename Value> void DigestTable<Value>::clear() {
    digests_.reset();
    values_.reset();
    capacity_ = size_ = 0;
}

template class DigestTable<uint32_t>;
template class DigestTable<uint64_t>;

long Occurrences::next(std::string_view argument) {
    uint32_t &count = seen_.at(keyDigest(0, argument));
    if (count == UINT32_MAX) {
        throw std::bad_alloc();
    }
    return static_cast<long>(++count);
}

ResumeFilter::ResumeFilter(const JobLog &log, bool resume, bool failedToo)
    : log_(log), resume_(resume), failedToo_(failedToo) {
    // The input holds most of the log's arguments again, as a rule.
    occurrences_.reserve(log.commands());
}

void ResumeFilter::read(fanrun_cli::Job &job, char delimiter) {
    if (job.values.size() > 1) {
        job.key = tupleKey(job.values);
    }
    const std::string_view key = job.key.empty() ? job.argument : job.key;
    digest_ = digestArgument(digest_, key, delimiter);
    job.occurrence = occurrences_.next(key);
}

bool ResumeFilter::leavesOut(const fanrun_cli::Job &job) {
    if (!resume_) {
        return false;
    }
    const State state = log_.state(job.key.empty() ? job.argument : job.key, job.occurrence);
    skippedFailed_ += state == State::Failed && !failedToo_ ? 1 : 0;
    return resumeSkips(state, failedToo_);
}

timespec now() {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return time;
}

// ---- the log of a run --------------------------------------------------------------------------

JobLog::~JobLog() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool JobLog::open(const char *path, bool readOnly) {
    if (fd_ >= 0) {
        close(fd_);
    }
    path_ = path;
    whole_ = 0;
    tornTail_ = failed_ = unsynced_ = false;
    unfinished_ = ignored_ = 0;
    closed_ = false;
    closedArguments_ = 0;
    closedDigest_ = 0;
    entries_.clear();
    // O_APPEND: a record lands after the last one even if the file was cut or grew meanwhile.
    // In a shared directory the name may be a planted link or FIFO: never through a link, and
    // never waiting on the open.
    fd_ = readOnly
              ? ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)
              : ::open(path,
                       O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                       0644);
    if (fd_ < 0 && readOnly && errno == ENOENT) {
        // The run would create it: nothing is known yet.
        return true;
    }
    struct stat status {};
    if (fd_ < 0) {
        const int error = errno;
        fprintf(stderr, "fanrun: cannot open the job log %s: %s\n", path,
                lstat(path, &status) == 0 && S_ISLNK(status.st_mode) ? "a symbolic link"
                                                                     : strerror(error));
        return false;
    }
    Scan state;
    bool ok = false;
    // Only a regular file is made blocking again.
    if (fstat(fd_, &status) != 0 ||
        (S_ISREG(status.st_mode) && fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK) != 0)) {
        fprintf(stderr, "fanrun: cannot open the job log %s: %s\n", path, strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        fprintf(stderr, "fanrun: cannot open the job log %s: not a regular file\n", path);
    } else if (!readOnly && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        // Two runs appending to one log would interleave their keys and cut each other's tails.
        fprintf(stderr, "fanrun: cannot open the job log %s: %s\n", path,
                errno == EWOULDBLOCK ? "another run is using it" : strerror(errno));
    } else {
        const Scanned scanned = scan(fd_, state, [this](Record &&record) { note(record); });
        reportScan(scanned, state, path);
        ok = scanned == Scanned::Whole;
    }
    if (ok) {
        whole_ = state.whole;
        tornTail_ = state.size > state.whole;
        if (tornTail_ && !readOnly && state.headed) {
            fprintf(stderr,
                    "fanrun: the job log %s ends in a torn line of %lld bytes (a run died while "
                    "writing it); it is cut\n",
                    path, static_cast<long long>(state.size - state.whole));
        }
        ignored_ = state.ignored;
        // Records go in the form of the log's header: an existing log without the host column
        // gets none.
        hosts_ = state.headed ? state.hosts : hosts_;
        closed_ = state.closed;
        closedArguments_ = state.closed ? state.arguments : 0;
        closedDigest_ = state.closed ? state.digest : 0;
        clock_gettime(CLOCK_MONOTONIC, &lastSync_);
        ok = state.headed || readOnly ||
             (append(nullptr, std::string(hosts_ ? hostHeader : header) + '\n') && syncNew());
    }
    if (!ok || readOnly) {
        close(fd_);
        fd_ = -1;
    }
    return ok;
}

// A log created by this run must survive a crash of the machine too: its name as well as its
// header.
bool JobLog::syncNew() {
    std::string directory = path_;
    const size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fdatasync(fd_) == 0 || fail(errno);
    unsynced_ = false;
    // Some file systems cannot sync a directory (EINVAL); the file itself is synced.
    if (ok && fd >= 0 && fsync(fd) != 0 && errno != EINVAL) {
        ok = fail(errno);
    }
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

State JobLog::state(std::string_view argument, long occurrence) const {
    const uint32_t *found = entries_.find(keyDigest(static_cast<uint64_t>(occurrence), argument));
    return found == nullptr ? State::Unseen : stateOf(*found);
}

void JobLog::note(const Record &record) {
    uint32_t &entry =
        entries_.at(keyDigest(static_cast<uint64_t>(record.occurrence), record.argument));
    const bool wasOpen = stateOf(entry) == State::Unfinished;
    if (record.event == Event::Start) {
        // A start after an end is a retry or a later run: until it ends, it was running when its
        // run died, whatever the earlier attempt's end said.
        entry = indexState(State::Unfinished, record.attempt);
        unfinished_ += wasOpen ? 0 : 1;
        return;
    }
    // The end of an earlier attempt, logged after a later one started, leaves that one open.
    if (std::min(record.attempt, maxAttempt) < attemptOf(entry)) {
        return;
    }
    entry = indexState(record.succeeded() ? State::Succeeded : State::Failed, attemptOf(entry));
    unfinished_ -= wasOpen ? 1 : 0;
}

bool JobLog::recordStart(std::string_view argument, long occurrence, long attempt, timespec start,
                         std::string_view host) {
    Record record;
    record.host = !hosts_ ? std::string_view{} : host.empty() ? std::string_view(":") : host;
    record.start = start;
    record.attempt = attempt;
    record.occurrence = occurrence;
    record.argument = argument;
    return append(&record, formatRecord(record));
}

bool JobLog::recordEnd(std::string_view argument, long occurrence, long attempt, timespec start,
                       double runSeconds, int exitCode, int signal, std::string_view host) {
    Record record;
    record.host = !hosts_ ? std::string_view{} : host.empty() ? std::string_view(":") : host;
    record.event = Event::End;
    record.start = start;
    record.runSeconds = runSeconds;
    record.exitCode = signal > 0 ? -1 : exitCode;
    record.signal = signal > 0 ? signal : 0;
    record.attempt = attempt;
    record.occurrence = occurrence;
    record.argument = argument;
    return append(&record, formatRecord(record));
}

bool JobLog::recordClosing(long arguments, uint64_t digest) {
    const std::string line = formatClosing(now(), arguments, digest);
    return append(nullptr, line);
}

bool JobLog::append(const Record *record, const std::string &line) {
    if (fd_ < 0) {
        return false;
    }
    // Nothing is written that would not read back as the same record.
    Record check;
    if (record != nullptr &&
        !parseRecord(std::string_view(line).substr(0, line.size() - 1), check, hosts_)) {
        return fail(EINVAL);
    }
    // A torn line, left by a crash or a failed write, never gets a record glued to its end.
    if (tornTail_) {
        if (ftruncate(fd_, whole_) != 0) {
            return fail(errno);
        }
        tornTail_ = false;
    }
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t wrote = write(fd_, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            // Whatever part of the line made it is cut now, or before the next append.
            const int error = errno;
            tornTail_ = done > 0 && ftruncate(fd_, whole_) != 0;
            return fail(error);
        }
        done += static_cast<size_t>(wrote);
    }
    whole_ += static_cast<off_t>(line.size());
    unsynced_ = true;
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    if (since(lastSync_, clock) >= 1.0) {
        lastSync_ = clock;
        unsynced_ = false;
        if (fdatasync(fd_) != 0) {
            return fail(errno);
        }
    }
    return true;
}

bool JobLog::fail(int error) {
    if (!failed_) {
        fprintf(stderr, "fanrun: cannot write the job log %s: %s\n", path_.c_str(),
                strerror(error));
    }
    failed_ = true;
    return false;
}

bool JobLog::finish() {
    if (fd_ < 0) {
        return !failed_;
    }
    if (unsynced_ && fdatasync(fd_) != 0) {
        fail(errno);
    }
    // Never retried: the descriptor is gone whatever close says.
    if (close(fd_) != 0) {
        fail(errno);
    }
    fd_ = -1;
    return !failed_;
}

// ---- fanrun --failed ---------------------------------------------------------------------------

int printFailed(char *const *logs, int count, bool nul) {
    std::vector<std::string> order; // every argument, as first seen
    std::vector<bool> done;
    DigestTable<uint64_t> position; // an argument's place in order, from 1
    std::vector<const char *> open; // logs whose run did not start every argument
    for (int i = 0; i < count; ++i) {
        const int fd = ::open(logs[i], O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            fprintf(stderr, "fanrun: cannot open the job log %s: %s\n", logs[i], strerror(errno));
            return 2;
        }
        // Within one log a key's last end decides, as --resume-failed decides: each key's value
        // is its argument's place in order, doubled, plus 1 when that end was a success.
        DigestTable<uint64_t> last;
        Scan state;
        const Scanned scanned = scan(fd, state, [&](Record &&record) {
            uint64_t &at = position.at(keyDigest(0, record.argument));
            if (at == 0) {
                order.push_back(record.argument);
                done.push_back(false);
                at = order.size();
            }
            uint64_t &entry =
                last.at(keyDigest(static_cast<uint64_t>(record.occurrence), record.argument));
            const uint64_t succeeded = record.event == Event::End ? record.succeeded() : entry & 1;
            entry = (at - 1) << 1 | succeeded;
        });
        close(fd);
        reportScan(scanned, state, logs[i]);
        if (scanned != Scanned::Whole) {
            return 2;
        }
        last.forEach([&](uint64_t entry) {
            if ((entry & 1) != 0) {
                done[entry >> 1] = true;
            }
        });
        if (!state.closed) {
            open.push_back(logs[i]);
        }
    }
    // A tuple is listed as its values joined by a TAB, which --colsep '\t' reads back.
    std::vector<std::string> values;
    for (size_t i = 0; i < order.size(); ++i) {
        if (done[i] || !tupleValues(order[i], values)) {
            continue;
        }
        if (std::any_of(values.begin(), values.end(), [](const std::string &value) {
                return value.find('\t') != std::string::npos;
            })) {
            fputs("fanrun: a value left to run holds a TAB, which the list of tuples cannot "
                  "carry\n",
                  stderr);
            return 2;
        }
        order[i].clear();
        for (const std::string &value : values) {
            order[i] += &value == &values.front() ? "" : "\t";
            order[i] += value;
        }
        // Never empty: a tuple has two values at least, and a TAB between them.
    }
    if (!nul) {
        for (size_t i = 0; i < order.size(); ++i) {
            if (!done[i] && (order[i].empty() || order[i].find('\n') != std::string::npos)) {
                fprintf(stderr,
                        "fanrun: an argument left to run %s, which a line cannot carry; list "
                        "them with --failed -0\n",
                        order[i].empty() ? "is empty" : "holds a newline");
                return 2;
            }
        }
    }
    // A closed pipe is reported, not fatal.
    signal(SIGPIPE, SIG_IGN);
    for (size_t i = 0; i < order.size(); ++i) {
        if (!done[i]) {
            fwrite(order[i].data(), 1, order[i].size(), stdout);
            fputc(nul ? '\0' : '\n', stdout);
        }
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fanrun: cannot write the list: %s\n", strerror(errno));
        return 1;
    }
    for (const char *log : open) {
        fprintf(stderr,
                "fanrun: the run of the job log %s did not start every argument of its input "
                "(it was stopped or died): what it never started is not listed; give the input "
                "with --failed -a FILE\n",
                log);
    }
    return open.empty() ? 0 : exitUnknownLeft;
}

} // namespace fanrun_joblog
