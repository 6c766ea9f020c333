// The front end's line relay, for --line-buffer and --latest-line: every command writes into
// pipes of its own, and one thread of the runner reads them while the commands run and writes
// each line whole to the runner's streams as soon as it is complete. The thread only reads the
// pipes and writes lines; it blocks every signal, and the library's run loop stays the one place
// that starts, waits for and reaps commands. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_LINES_H
#define FANRUN_CLI_LINES_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fanrun_cli {

// A line longer than this is written in pieces of this size as it comes: memory stays bounded,
// and other commands' lines may come between the pieces.
constexpr size_t longestLine = size_t{1} << 20;

class LineRelay {
  public:
    LineRelay() = default;
    LineRelay(const LineRelay &) = delete;
    LineRelay &operator=(const LineRelay &) = delete;
    ~LineRelay();

    // Starts the thread writing standard output lines to out and error lines to err. latest: out
    // is a terminal showing one row per running command, its latest line, rewritten in place.
    // False with error set when the thread or its wake-up pipe cannot be made.
    bool start(int out, int err, bool latest, std::string &error);
    // Hands the thread a started command's reading ends (either may be -1), which it owns from
    // here on; tag (when tagging) goes before each line, then a TAB. key names the command in
    // done().
    void add(long key, int outRead, int errRead, bool tagging, const std::string &tag);
    // The commands whose pipes have all reached their ends since the last call, each with
    // whether all of its output got written (false: lost with the runner's streams).
    std::vector<std::pair<long, bool>> done();
    // Waits up to a tenth of a second for the command's pipes to end and what they held to be
    // written (and, with latest, its row drawn for good), so that what the runner writes next,
    // the closing report above all, follows it. A command that left a process holding a pipe
    // only delays the run by that much.
    void settle(long key);
    // A line of the runner's own for standard output, with its newline (the command -v shows),
    // written whole between the commands' lines.
    void say(std::string line);
    // Waits until every pipe handed over has reached its end (every process holding its writing
    // end has closed it) and the thread has written everything; ends the thread.
    void finish();
    // True once a write to the runner's streams has failed; the pipes are closed from then on,
    // so that the commands see their output go nowhere as with a closed standard output.
    bool lost() const { return lost_.load(); }
    // The error of the first failed write, or 0.
    int writeError() const { return writeError_.load(); }

  private:
    struct Stream {
        int fd = -1;
        int to = -1;
        bool tagging = false;
        std::string tag;
        std::string partial;  // the line so far
        bool midLine = false; // a piece of a long line has been written: no tag before the rest
        long row = 0;         // the command's row with latest
        bool error = false;   // standard error: never shown in a row
        long key = 0;
    };
    struct Row {
        long id = 0;
        std::string text; // tagged, as shown
    };

    void loop();
    bool readStream(Stream &stream);
    void closeStream(Stream &stream);
    void ended(const Stream &stream);
    void lineOut(Stream &stream, const char *data, size_t size, bool whole);
    void emit(int to, const std::string &text);
    void showLatest(Stream &stream, const std::string &text);
    void redraw();
    int width() const;
    void wake();

    int out_ = -1;
    int err_ = -1;
    bool latest_ = false;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;             // guards incoming_, said_ and closing_
    std::vector<Stream> incoming_; // handed over, not yet taken by the thread
    std::vector<std::string> said_;
    std::vector<std::pair<long, bool>> done_;
    std::condition_variable doneChanged_;
    bool closing_ = false;
    std::atomic<bool> lost_{false};
    std::atomic<int> writeError_{0};
    // The thread's own.
    std::vector<Stream> streams_;
    std::map<long, std::pair<long, int>> open_; // by row: the key, and pipes still open
    std::vector<Row> rows_;                     // running commands' rows, in start order
    std::string finished_; // rows of ended commands, to be written above the live ones
    size_t drawn_ = 0;     // live rows on the screen
    bool dirty_ = false;   // the rows changed since they were drawn
    long long drawnAtNs_ = 0;
    long nextRow_ = 0;
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_LINES_H
