// Tests of --results: the folder names of values (distinct values never share one), the folder
// layout, the CSV, TSV and JSON records read back through python3's csv and json modules, resumed
// runs, and a full file system that fails the commands whose output it could not keep.

#include <gtest/gtest.h>

#include "results.h"

#include "fanrun_run.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

using namespace fanrun_run;
using fanrun_cli::folderName;
using fanrun_cli::valueOfFolder;

namespace {

// The values every form is tried with: the awkward ones, then every byte but NUL alone.
std::vector<std::string> awkwardValues() {
    std::vector<std::string> values = {
        "a,b",    "q\"t", "x y", "$(echo hi)", "new\nline", "cr\rx",
        "tab\tx", "",     "\\",  "\xff\xfe",   "\xc3\xa9",  "%",
        "/",      "a/b",  ".",   "..",         "%2F",       std::string(300, 'l')};
    for (int byte = 1; byte <= 0xff; ++byte) {
        values.emplace_back(1, static_cast<char>(byte));
    }
    return values;
}

std::string nulSeparated(const std::vector<std::string> &values) {
    std::string input;
    for (const std::string &value : values) {
        input += value;
        input += '\0';
    }
    return input;
}

// What the command writes for a value: the value on stdout, E, the value and a NUL on stderr.
const std::string echoBoth = "printf '%s' {}; printf 'E%s\\0' {} >&2";

// The records of a results file as python3 reads them: for each, Seq, Exitval, Signal, Receive,
// Command, Stdout, Stderr, what bash -c Command writes, then the values. The CSV and TSV header
// comes first, its names joined by commas.
const char *reader = R"(import base64, csv, json, subprocess, sys
form, path = sys.argv[1], sys.argv[2]
def field(x):
    if isinstance(x, dict):
        assert list(x) == ['base64'], x
        return base64.b64decode(x['base64'], validate=True)
    if isinstance(x, str):
        return x.encode('utf-8')
    return str(x).encode()
def show(fields):
    command = fields[4]
    rerun = subprocess.run(['bash', '-c', command], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL).stdout
    fields = fields[:7] + [rerun] + fields[7:]
    print(' '.join(f.hex() or '-' for f in fields))
if form == 'json':
    with open(path, 'rb') as f:
        for line in f:
            r = json.loads(line.decode('utf-8'))
            assert list(r) == ['Seq', 'Host', 'Starttime', 'JobRuntime', 'Send', 'Receive',
                               'Exitval', 'Signal', 'Command', 'V', 'Stdout', 'Stderr'], list(r)
            assert r['Host'] == ':' and r['Send'] == 0
            show([field(r[k]) for k in ['Seq', 'Exitval', 'Signal', 'Receive', 'Command',
                                        'Stdout', 'Stderr']] + [field(v) for v in r['V']])
else:
    with open(path, encoding='latin-1', newline='') as f:
        rows = list(csv.reader(f, delimiter=',' if form == 'csv' else '\t', strict=True))
    head = rows[0]
    print(','.join(head))
    for row in rows[1:]:
        assert len(row) == len(head), row
        d = dict(zip(head, row))
        assert d['Host'] == ':' and d['Send'] == '0'
        show([d[k].encode('latin-1') for k in ['Seq', 'Exitval', 'Signal', 'Receive', 'Command',
                                                'Stdout', 'Stderr']] +
             [row[i].encode('latin-1') for i, h in enumerate(head) if h.startswith('V')])
)";

struct Record {
    std::string seq, exitval, signal, receive, command, out, err, rerun;
    std::vector<std::string> values;
    bool operator==(const Record &other) const {
        return seq == other.seq && exitval == other.exitval && signal == other.signal &&
               receive == other.receive && out == other.out && err == other.err &&
               rerun == other.rerun && values == other.values;
    }
};

std::ostream &operator<<(std::ostream &stream, const Record &record) {
    stream << "{seq " << record.seq << " exit " << record.exitval << " signal " << record.signal
           << " receive " << record.receive << " out '" << record.out << "' err '" << record.err
           << "' rerun '" << record.rerun << "' values";
    for (const std::string &value : record.values) {
        stream << " '" << value << "'";
    }
    return stream << "}";
}

std::string unhex(const std::string &text) {
    if (text == "-") {
        return "";
    }
    std::string bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

struct ReadBack {
    bool ok = false;
    std::string header; // CSV and TSV only
    std::vector<Record> records;
};

// The results file as python3 reads it, its records by Seq.
ReadBack readBack(const TempDir &dir, const std::string &form, const std::string &path) {
    ReadBack back;
    const std::string script = dir / "read.py";
    writeFile(script, reader);
    const std::string command = "python3 " + script + " " + form + " " + path;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return back;
    }
    std::string text;
    char buffer[4096];
    for (size_t got = 0; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    back.ok = pclose(pipe) == 0;
    std::vector<std::string> all = lines(text);
    if (form != "json" && !all.empty()) {
        back.header = all.front();
        all.erase(all.begin());
    }
    for (const std::string &line : all) {
        std::vector<std::string> fields;
        size_t begin = 0;
        for (size_t space = line.find(' ');; space = line.find(' ', begin)) {
            fields.push_back(unhex(line.substr(begin, space - begin)));
            if (space == std::string::npos) {
                break;
            }
            begin = space + 1;
        }
        if (fields.size() < 8) {
            back.ok = false;
            break;
        }
        Record record{fields[0], fields[1], fields[2],
                      fields[3], fields[4], fields[5],
                      fields[6], fields[7], {fields.begin() + 8, fields.end()}};
        back.records.push_back(record);
    }
    std::sort(back.records.begin(), back.records.end(),
              [](const Record &a, const Record &b) { return std::stol(a.seq) < std::stol(b.seq); });
    return back;
}

// The record a run of echoBoth keeps for the value at position (from 0).
Record echoed(const std::string &value, size_t position) {
    Record record;
    record.seq = std::to_string(position + 1);
    record.exitval = "0";
    record.signal = "0";
    record.receive = std::to_string(value.size());
    record.out = value;
    record.err = "E" + value + std::string(1, '\0');
    record.rerun = value;
    record.values = {value};
    return record;
}

// Every file under root, by its path from root.
std::map<std::string, std::string> tree(const fs::path &root) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        files[relative] = entry.is_directory() ? "<dir>" : readFile(entry.path());
    }
    return files;
}

// ---- Folder names ------------------------------------------------------------------------------

struct NameCase {
    std::string value;
    std::string name;
};

TEST(FanrunResultsNames, EscapesExactlyWhatCannotBeANameOrWouldCollide) {
    const std::vector<NameCase> cases = {
        {"a", "a"},
        {"x y", "x y"},
        {"", "%"},
        {".", "%2E"},
        {"..", "%2E%2E"},
        {"...", "..."},
        {".a", ".a"},
        {"/", "%2F"},
        {"a/b", "a%2Fb"},
        {"%", "%25"},
        {"%2F", "%252F"},
        {"%+", "%25+"},
        {"new\nline", "new\nline"},
        {"\xff", "\xff"},
        {std::string(255, 'x'), std::string(255, 'x')},
        {std::string(256, 'x'), std::string(255, 'x') + "/%+x"},
        {std::string(254, 'x') + "/", std::string(254, 'x') + "/%+%2F"},
        {std::string(600, 'y'),
         std::string(255, 'y') + "/%+" + std::string(253, 'y') + "/%+" + std::string(92, 'y')},
    };
    for (const NameCase &c : cases) {
        EXPECT_EQ(folderName(c.value), c.name) << "value '" << c.value << "'";
    }
}

TEST(FanrunResultsNames, DistinctValuesNeverShareANameAndEachNameGivesItsValueBack) {
    std::vector<std::string> values = awkwardValues();
    for (size_t length : {253, 254, 255, 256, 300, 509, 510, 1000}) {
        for (const std::string tail : {"", "/", "%", "//", "%%", "./"}) {
            values.push_back(std::string(length, 'v') + tail);
            values.push_back(std::string(length - tail.size(), 'v') + tail);
            values.push_back(std::string(length / 3, '/') + tail);
        }
    }
    std::string everyByte;
    for (int byte = 1; byte <= 0xff; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    values.push_back(everyByte);
    values.push_back(everyByte + everyByte);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());

    std::map<std::string, std::string> owner;
    for (const std::string &value : values) {
        const std::string name = folderName(value);
        const auto [at, fresh] = owner.emplace(name, value);
        EXPECT_TRUE(fresh) << "'" << value << "' and '" << at->second << "' share " << name;
        // Every folder of the name is one a file system takes.
        size_t begin = 0;
        for (bool first = true;; first = false) {
            const size_t slash = name.find('/', begin);
            const std::string part = name.substr(begin, slash - begin);
            EXPECT_TRUE(!part.empty() && part != "." && part != ".." && part.size() <= NAME_MAX)
                << "'" << value << "': folder '" << part << "'";
            EXPECT_EQ(part.find('\0'), std::string::npos);
            EXPECT_EQ(part.rfind("%+", 0) == 0, !first) << "'" << value << "': " << part;
            if (slash == std::string::npos) {
                break;
            }
            begin = slash + 1;
        }
        std::string back;
        EXPECT_TRUE(valueOfFolder(name, back)) << name;
        EXPECT_EQ(back, value);
    }
}

TEST(FanrunResultsNames, RefusesNamesItNeverMakes) {
    for (const std::string &name :
         std::vector<std::string>{"%2f", "%G0", "a%", "a%2", "%2Ex", "%2E%2Ex", "%61", "a/b",
                                  "a/%+b", "%+a", std::string(255, 'x') + "/x"}) {
        std::string value;
        EXPECT_FALSE(valueOfFolder(name, value)) << name;
    }
}

// ---- The folder layout
// ---------------------------------------------------------------------------

TEST(FanrunResultsFolder, EachValueHasItsOwnFolderWithItsOutputAndNumber) {
    TempDir dir;
    const std::vector<std::string> values = awkwardValues();
    const std::string results = dir / "results";
    const Outcome outcome =
        runFanrun(dir, {"-0", "-j", "4", "--results", results, "-o", dir / "out", echoBoth},
                  fromInput(nulSeparated(values)));
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    std::map<std::string, std::string> expected;
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string folder = "1/" + folderName(values[i]);
        expected[folder + "/stdout"] = values[i];
        expected[folder + "/stderr"] = "E" + values[i] + std::string(1, '\0');
        expected[folder + "/seq"] = std::to_string(i + 1);
    }
    std::map<std::string, std::string> files;
    for (const auto &[path, content] : tree(results)) {
        if (content != "<dir>") {
            files[path] = content;
        }
    }
    EXPECT_EQ(files, expected);
}

TEST(FanrunResultsFolder, SeveralArgumentsACommandNestTheirFoldersAsThatToolDoes) {
    TempDir dir;
    const std::string results = dir / "results";
    const Outcome outcome =
        runFanrun(dir, {"-n", "2", "-k", "--results", results, "echo {}", "a", "b", "c"});
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    // The output reaches standard output too, in the mode asked for.
    EXPECT_EQ(outcome.out, "a b\nc\n");
    const std::map<std::string, std::string> expected = {
        {"1", "<dir>"},         {"1/a", "<dir>"},     {"1/a/1", "<dir>"},
        {"1/a/1/b", "<dir>"},   {"1/a/1/b/seq", "1"}, {"1/a/1/b/stdout", "a b\n"},
        {"1/a/1/b/stderr", ""}, {"1/c", "<dir>"},     {"1/c/seq", "2"},
        {"1/c/stdout", "c\n"},  {"1/c/stderr", ""}};
    EXPECT_EQ(tree(results), expected);
}

TEST(FanrunResultsFolder, ATuplesValuesNestByTheirSourceOrTheirHeaderName) {
    struct Case {
        const char *name;
        std::vector<std::string> arguments; // after --results DIR
        std::string table;                  // the file t.txt, when the case reads one
        std::map<std::string, std::string> files;
    };
    const Case cases[] = {
        {"two sources",
         {"echo {1}{2}", ":::", "a", ":::", "1"},
         "",
         {{"1", "<dir>"},
          {"1/a", "<dir>"},
          {"1/a/2", "<dir>"},
          {"1/a/2/1", "<dir>"},
          {"1/a/2/1/seq", "1"},
          {"1/a/2/1/stdout", "a1\n"},
          {"1/a/2/1/stderr", ""}}},
        {"named columns",
         {"--colsep", " ", "--header", ":", "echo {y}", "::::", "t.txt"},
         "x y\n/ .\n",
         {{"x", "<dir>"},
          {"x/%2F", "<dir>"},
          {"x/%2F/y", "<dir>"},
          {"x/%2F/y/%2E", "<dir>"},
          {"x/%2F/y/%2E/seq", "1"},
          {"x/%2F/y/%2E/stdout", ".\n"},
          {"x/%2F/y/%2E/stderr", ""}}},
    };
    for (const Case &c : cases) {
        TempDir dir;
        if (!c.table.empty()) {
            writeFile(dir / "t.txt", c.table);
        }
        std::vector<std::string> arguments = {"-g", "--results", dir / "r"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        StartOptions options;
        options.workDir = dir.path().string();
        const Outcome outcome = runFanrun(dir, arguments, options);
        ASSERT_TRUE(outcome.exitedWith(0)) << c.name << ": " << outcome.err;
        EXPECT_EQ(tree(dir / "r"), c.files) << c.name;
    }
}

TEST(FanrunResultsRecords, ATuplesValuesFillV1ToVn) {
    TempDir dir;
    const std::string file = dir / "r.csv";
    const Outcome outcome = runFanrun(dir, {"-j", "1", "--results", file, "-o", dir / "o",
                                            "echo {2}", ":::", "a", "b", ":::", "1"});
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    const std::string text = std::regex_replace(
        readFile(file), std::regex(",[0-9]+\\.[0-9]{3},[0-9]+\\.[0-9]{3},"), ",T,R,");
    EXPECT_EQ(text, "Seq,Host,Starttime,JobRuntime,Send,Receive,Exitval,Signal,Command,V1,V2,"
                    "Stdout,Stderr\n"
                    "1,:,T,R,0,2,0,0,\"echo 1\",a,1,\"1\n\",\n"
                    "2,:,T,R,0,2,0,0,\"echo 1\",b,1,\"1\n\",\n");
}

TEST(FanrunResultsFolder, TheDefaultModeKeepsItsOwnFilesAndReport) {
    TempDir dir;
    const std::string out = dir / "out";
    const Outcome outcome =
        runFanrun(dir, {"-j", "1", "-o", out, "--results", dir / "results", "echo {}", "a", "b"});
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    const std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(commandOutput(out, records[0]), "a\n");
    EXPECT_EQ(commandOutput(out, records[1]), "b\n");
    EXPECT_EQ(readFile(dir / "results/1/a/stdout"), "a\n");
    EXPECT_EQ(readFile(dir / "results/1/b/stdout"), "b\n");
}

TEST(FanrunResultsFolder, OutputThatIsNotCapturedCannotBeKept) {
    for (const char *mode : {"-u", "--line-buffer", "--latest-line"}) {
        TempDir dir;
        const Outcome outcome = runFanrun(dir, {mode, "--results", dir / "r", "echo {}", "a"});
        EXPECT_TRUE(outcome.exitedWith(2)) << mode;
        EXPECT_NE(outcome.err.find("--results needs the output captured"), std::string::npos)
            << mode << ": " << outcome.err;
        EXPECT_FALSE(fs::exists(dir / "r")) << mode;
    }
}

// ---- Records
// -------------------------------------------------------------------------------------

const char *const csvHeader =
    "Seq,Host,Starttime,JobRuntime,Send,Receive,Exitval,Signal,Command,V1,Stdout,Stderr";

struct FormCase {
    std::string form;
    std::vector<std::string> options; // the output mode
};

void PrintTo(const FormCase &c, std::ostream *stream) {
    *stream << c.form;
}

class FanrunResultsRecords : public testing::TestWithParam<FormCase> {};

TEST_P(FanrunResultsRecords, AnyBytesReadBackThroughAStandardReader) {
    TempDir dir;
    const FormCase &c = GetParam();
    const std::vector<std::string> values = awkwardValues();
    const std::string file = dir / ("results." + c.form);
    std::vector<std::string> arguments = {"-0", "-j", "4", "-o", dir / "out", "--results", file};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.push_back(echoBoth);
    const Outcome outcome = runFanrun(dir, arguments, fromInput(nulSeparated(values)));
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    const ReadBack back = readBack(dir, c.form, file);
    ASSERT_TRUE(back.ok);
    if (c.form != "json") {
        std::string header = csvHeader;
        EXPECT_EQ(back.header, header);
    }
    std::vector<Record> expected;
    for (size_t i = 0; i < values.size(); ++i) {
        expected.push_back(echoed(values[i], i));
    }
    EXPECT_EQ(back.records, expected);
}

INSTANTIATE_TEST_SUITE_P(Forms, FanrunResultsRecords,
                         testing::Values(FormCase{"csv", {}}, FormCase{"tsv", {"-g"}},
                                         FormCase{"json", {"-k"}}),
                         [](const testing::TestParamInfo<FormCase> &info) {
                             return info.param.form;
                         });

struct EndCase {
    std::string command;
    std::string exitval;
    std::string signal;
};

TEST(FanrunResultsRecords, ExitValuesAndSignalsAsTheJobLogHasThem) {
    const std::vector<EndCase> cases = {
        {"true", "0", "0"},
        {"exit 3", "3", "0"},
        {"kill -9 $$", "-1", "9"},
        {"kill -TERM $$", "-1", "15"},
    };
    for (const std::string form : {"csv", "json"}) {
        for (const EndCase &c : cases) {
            TempDir dir;
            const std::string file = dir / ("r." + form);
            const Outcome outcome =
                runFanrun(dir, {"-o", dir / "out", "--results", file, c.command + " #{}", "v"});
            EXPECT_TRUE(outcome.exitedWith(c.exitval == "0" ? 0 : 123)) << outcome.err;
            const ReadBack back = readBack(dir, form, file);
            ASSERT_TRUE(back.ok);
            Record want;
            want.seq = "1";
            want.exitval = c.exitval;
            want.signal = c.signal;
            want.receive = "0";
            want.values = {"v"};
            ASSERT_EQ(back.records.size(), 1U);
            Record got = back.records.front();
            got.rerun.clear(); // the command reruns as itself: a kill ends python's bash
            EXPECT_EQ(got, want) << form << ": " << c.command;
            EXPECT_EQ(got.command, c.command + " #v");
        }
    }
}

TEST(FanrunResultsRecords, SeveralArgumentsACommandFillV1ToVnAndPadTheShorterOne) {
    TempDir dir;
    const std::string file = dir / "r.csv";
    const Outcome outcome = runFanrun(
        dir, {"-n", "2", "-j", "1", "--results", file, "-o", dir / "o", "echo {}", "a", "b", "c"});
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    // The whole file, its times aside.
    const std::string text = std::regex_replace(
        readFile(file), std::regex(",[0-9]+\\.[0-9]{3},[0-9]+\\.[0-9]{3},"), ",T,R,");
    EXPECT_EQ(text, "Seq,Host,Starttime,JobRuntime,Send,Receive,Exitval,Signal,Command,V1,V2,"
                    "Stdout,Stderr\n"
                    "1,:,T,R,0,4,0,0,\"echo a b\",a,b,\"a b\n\",\n"
                    "2,:,T,R,0,2,0,0,\"echo c\",c,,\"c\n\",\n");
    const ReadBack back = readBack(dir, "csv", file);
    ASSERT_TRUE(back.ok);
    ASSERT_EQ(back.records.size(), 2U);
    EXPECT_EQ(back.records[0].values, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(back.records[0].out, "a b\n");
    EXPECT_EQ(back.records[1].values, (std::vector<std::string>{"c", ""}));
    EXPECT_EQ(back.records[1].out, "c\n");
}

TEST(FanrunResultsRecords, AResumedRunKeepsTheRecordsOfWhatItSkipsAndAFreshRunStartsAnew) {
    for (const std::string form : {"csv", "json"}) {
        TempDir dir;
        const std::string file = dir / ("r." + form);
        const std::string log = dir / "log";
        auto runWith = [&](const std::string &command, std::vector<std::string> extra) {
            std::vector<std::string> arguments = {"-j",       "1", "-o",        dir / "o",
                                                  "--joblog", log, "--results", file};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            arguments.insert(arguments.end(), {command, "a", "b", "c"});
            return runFanrun(dir, arguments);
        };
        // b fails first, then runs again fixed.
        EXPECT_TRUE(runWith("echo {}; test {} != b", {}).exitedWith(123));
        EXPECT_TRUE(runWith("echo {}", {"--resume-failed"}).exitedWith(0));
        ReadBack back = readBack(dir, form, file);
        ASSERT_TRUE(back.ok) << form;
        std::vector<std::string> seen;
        for (const Record &record : back.records) {
            seen.push_back(record.values.at(0) + "=" + record.exitval);
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"a=0", "b=0", "b=1", "c=0"})) << form;
        if (form == "csv") {
            const std::string text = readFile(file);
            EXPECT_EQ(text.find("Seq,"), 0U);
            EXPECT_EQ(text.find("Seq,", 1), std::string::npos) << text;
        }
        // Without --resume the file holds this run's records alone.
        fs::remove(log);
        EXPECT_TRUE(runWith("echo {}", {}).exitedWith(0));
        back = readBack(dir, form, file);
        ASSERT_TRUE(back.ok);
        EXPECT_EQ(back.records.size(), 3U) << form;
    }
}

// ---- A full file system
// --------------------------------------------------------------------------

constexpr size_t bigOutput = 20000;
const std::string writeBig = "head -c 20000 /dev/zero | tr '\\0' x; : {}";

TEST(FanrunResultsFull, AFolderThatFillsUpFailsTheCommandsItCannotKeepAndLeavesNoPartialFiles) {
    TempDir dir;
    const std::string small = dir / "small";
    fs::create_directory(small);
    SmallTmpfs space(small, "64k");
    if (!space.mounted()) {
        SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(space.error()));
    }
    const std::vector<std::string> values = {"v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8"};
    std::vector<std::string> arguments = {"-j",        "1",          "-o",    dir / "out",
                                          "--results", small + "/r", writeBig};
    arguments.insert(arguments.end(), values.begin(), values.end());
    const Outcome outcome = runFanrun(dir, arguments);
    EXPECT_TRUE(outcome.exitedWith(123)) << outcome.err;
    size_t kept = 0;
    size_t failed = 0;
    for (const std::string &value : values) {
        const std::string folder = small + "/r/1/" + value;
        if (fs::exists(folder + "/seq")) {
            ++kept;
            EXPECT_EQ(readFile(folder + "/stdout"), std::string(bigOutput, 'x')) << value;
        } else {
            ++failed;
            EXPECT_FALSE(fs::exists(folder + "/stdout")) << value;
            EXPECT_NE(outcome.err.find("cannot keep the results in " + folder +
                                       ": No space left on device"),
                      std::string::npos)
                << outcome.err;
        }
    }
    EXPECT_GT(kept, 0U);
    EXPECT_GT(failed, 0U);
    // Each failure is said once, and the report counts them failed.
    EXPECT_EQ(lines(outcome.err).size(), failed) << outcome.err;
    size_t reportedFailed = 0;
    for (const ReportLine &record : parseRecords(outcome.out)) {
        reportedFailed += record.exitStatus != 0 ? 1 : 0;
    }
    EXPECT_EQ(reportedFailed, 0U); // the commands themselves exited 0: the runner failed them
}

// Also under -k, where a record is written only when its output's turn comes.
TEST(FanrunResultsFull, ARecordFileThatFillsUpKeepsWholeRecordsOnly) {
    for (const std::string form : {"csv", "json", "csv -k", "json -k"}) {
        const bool keepOrder = form.size() > 4;
        TempDir dir;
        const std::string small = dir / "small";
        fs::create_directory(small);
        SmallTmpfs space(small, "64k");
        if (!space.mounted()) {
            SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(space.error()));
        }
        const std::string file = small + "/r." + form.substr(0, form.find(' '));
        const std::string log = dir / "log";
        std::vector<std::string> arguments = {"-j",        "2",        keepOrder ? "-k" : "-o",
                                              dir / "out", "--joblog", log,
                                              "--results", file,       writeBig};
        if (keepOrder) {
            arguments.erase(arguments.begin() + 3);
        }
        for (int i = 1; i <= 8; ++i) {
            arguments.push_back("v" + std::to_string(i));
        }
        const Outcome outcome = runFanrun(dir, arguments);
        EXPECT_TRUE(outcome.exitedWith(123)) << outcome.err;
        const ReadBack back = readBack(dir, form.substr(0, form.find(' ')), file);
        ASSERT_TRUE(back.ok) << form;
        EXPECT_GT(back.records.size(), 0U);
        EXPECT_LT(back.records.size(), 8U);
        for (const Record &record : back.records) {
            EXPECT_EQ(record.out, std::string(bigOutput, 'x'));
        }
        const size_t failures = 8 - back.records.size();
        // Under -k the report goes to standard error as well.
        size_t said = 0;
        for (const std::string &line : lines(outcome.err)) {
            said += line.find("cannot write the results file") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(said, failures) << outcome.err;
        // The job log has them failed, so that a resumed run runs them again.
        const std::string logText = readFile(log);
        size_t failedEnds = 0;
        for (const std::string &line : lines(logText)) {
            failedEnds += line.rfind("end\t", 0) == 0 && line.find("\t123\t") != std::string::npos;
        }
        EXPECT_EQ(failedEnds, failures) << logText;
    }
}

} // namespace

// ---- Records as wide as the widest tuple -------------------------------------------------------

struct WidthCase {
    std::string label;
    std::vector<std::string> options;             // before the command
    std::string input;                            // standard input, the first source
    std::vector<std::string> after;               // after the command: more sources
    std::string header;                           // the V columns of the header, joined by commas
    std::vector<std::vector<std::string>> values; // each record's, by Seq
};

// Every record of a table keeps every value in its own column, whichever line is widest: the
// header and every record are as wide as the widest, shorter ones padded with empty fields.
TEST(FanrunResultsRecords, EveryRecordFitsTheWidestTupleWhateverLineItIs) {
    const std::string odd = "q\"t $(x) \xff\xfe";
    const std::vector<WidthCase> cases = {
        {"a later line wider",
         {"--colsep", ";"},
         "a;b\n1;" + odd + ";3;\n5\n",
         {},
         "V1,V2,V3,V4",
         {{"a", "b", "", ""}, {"1", odd, "3", ""}, {"5", "", "", ""}}},
        {"the first widest",
         {"--colsep", ";"},
         "a;b;c\n;\n",
         {},
         "V1,V2,V3",
         {{"a", "b", "c"}, {"", "", ""}}},
        {"newlines under -0",
         {"-0", "--colsep", ";"},
         std::string("x\ny\0a;b\r;c\0", 11),
         {},
         "V1,V2,V3",
         {{"x\ny", "", ""}, {"a", "b\r", "c"}}},
        {"a held source after",
         {"--colsep", ";"},
         "a\nb;c;d\n",
         {"::::", "-", ":::", "z z"},
         "V1,V2,V3,V4",
         {{"a", "z z", "", ""}, {"b", "c", "d", "z z"}}},
        {"header names first",
         {"--colsep", ";", "--header", ":"},
         "n;m\n1\n2;3;4\n",
         {},
         "V1,V2,V3",
         {{"1", "", ""}, {"2", "3", "4"}}},
    };
    for (const std::string form : {"csv", "tsv"}) {
        for (const WidthCase &c : cases) {
            TempDir dir;
            const std::string file = dir / ("r." + form);
            std::vector<std::string> words = {"-j", "2", "-o", dir / "o", "--results", file};
            words.insert(words.end(), c.options.begin(), c.options.end());
            words.push_back("printf %s {1}");
            words.insert(words.end(), c.after.begin(), c.after.end());
            const Outcome outcome = runFanrun(dir, words, fromInput(c.input));
            ASSERT_TRUE(outcome.exitedWith(0)) << c.label << outcome.err;
            const ReadBack back = readBack(dir, form, file);
            ASSERT_TRUE(back.ok) << c.label << " " << form << "\n" << readFile(file);
            EXPECT_EQ(back.header, "Seq,Host,Starttime,JobRuntime,Send,Receive,Exitval,Signal,"
                                   "Command," +
                                       c.header + ",Stdout,Stderr")
                << c.label << " " << form;
            std::vector<std::vector<std::string>> values;
            for (const Record &record : back.records) {
                values.push_back(record.values);
                EXPECT_EQ(record.out, record.values.at(0)) << c.label << " " << form;
            }
            EXPECT_EQ(values, c.values) << c.label << " " << form;
        }
    }
}

// A resumed run appends to the file: records wider than its header widen the earlier ones too.
TEST(FanrunResultsRecords, AResumedRunWidensTheRecordsAlreadyThere) {
    TempDir dir;
    const std::string file = dir / "r.csv";
    const std::string log = dir / "log";
    writeFile(dir / "table", "a;b\nc d;e;f\n");
    auto runWith = [&](const std::string &command, bool resume) {
        std::vector<std::string> words = {"-j", "1",        "-o", dir / "o",   "--joblog",
                                          log,  "--colsep", ";",  "--results", file};
        if (resume) {
            words.push_back("--resume-failed");
        }
        words.insert(words.end(), {command, "::::", dir / "table"});
        return runFanrun(dir, words);
    };
    EXPECT_TRUE(runWith("echo {1}; test {3} = ''", false).exitedWith(123));
    EXPECT_TRUE(runWith("echo {1}", true).exitedWith(0));
    const ReadBack back = readBack(dir, "csv", file);
    ASSERT_TRUE(back.ok) << readFile(file);
    EXPECT_NE(back.header.find(",V1,V2,V3,Stdout,"), std::string::npos) << back.header;
    std::vector<std::string> seen;
    for (const Record &record : back.records) {
        std::string joined = record.exitval;
        for (const std::string &value : record.values) {
            joined += "|" + value;
        }
        seen.push_back(joined);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"0|a|b|", "0|c d|e|f", "1|c d|e|f"}));
}

// ---- Order and hosts ---------------------------------------------------------------------------

// The Seq and V1 of each record of a CSV file, in the file's order, joined by "=".
std::vector<std::string> seqsInFileOrder(const TempDir &dir, const std::string &file) {
    const std::string script = dir / "order.py";
    writeFile(script, "import csv, sys\n"
                      "for r in csv.DictReader(open(sys.argv[1], encoding='latin-1', "
                      "newline='')):\n"
                      "    print(r['Seq'] + '=' + r['V1'] + '=' + r['Host'])\n");
    FILE *pipe = popen(("python3 " + script + " " + file).c_str(), "r");
    std::string text;
    char buffer[4096];
    for (size_t got = 0; pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return lines(text);
}

// Under -k the records come in input order, though the commands end in another: each waits
// until the one after it has left its mark. Without -k they come as the commands end.
TEST(FanrunResultsRecords, KeepOrderWritesTheRecordsInInputOrder) {
    for (const bool keepOrder : {true, false}) {
        TempDir dir;
        const std::string file = dir / "r.csv";
        const std::string marks = dir / "marks";
        fs::create_directory(marks);
        // 1 waits for 2, 2 for 3; 3 ends first.
        const std::string command = "i={#}; n=$((i + 1)); while [ $i -lt 3 ] && [ ! -e " + marks +
                                    "/done$n ]; do sleep 0.02; done; touch " + marks +
                                    "/done$i; printf %s {}";
        std::vector<std::string> words = {"-j", "3", "--results", file};
        if (keepOrder) {
            words.push_back("-k");
        } else {
            words.insert(words.end(), {"-o", dir / "o"});
        }
        words.insert(words.end(), {command, "a b", "it's", "$(x)"});
        const Outcome outcome = runFanrun(dir, words);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        const std::vector<std::string> inOrder = {"1=a b=:", "2=it's=:", "3=$(x)=:"};
        const std::vector<std::string> asEnded = {"3=$(x)=:", "2=it's=:", "1=a b=:"};
        EXPECT_EQ(seqsInFileOrder(dir, file), keepOrder ? inOrder : asEnded) << keepOrder;
        if (keepOrder) {
            EXPECT_EQ(outcome.out, "a bit's$(x)");
        }
    }
}

// A command run on another host has that host in its record, as the job log has it. The hosts
// here are names a stand-in for ssh takes and runs the command on this machine.
TEST(FanrunResultsRecords, TheHostColumnIsWhereTheCommandRan) {
    TempDir dir;
    const std::string ssh = dir / "ssh";
    writeFile(ssh, "#!/bin/bash\neval \"${@: -1}\"\n");
    fs::permissions(ssh, fs::perms::owner_all);
    for (const std::string form : {"csv", "json"}) {
        const std::string file = dir / ("r." + form);
        const std::string log = dir / ("log." + form);
        const Outcome outcome =
            runFanrun(dir, {"--ssh", ssh, "-S", "1/node-a,1/node-b", "--joblog", log, "-k",
                            "--results", file, "echo {}", ":::", "x y", "q\"t", ""});
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        // The job log's host of each value.
        std::map<std::string, std::string> logged;
        for (const std::string &line : lines(readFile(log))) {
            if (line.rfind("end\t", 0) == 0) {
                const size_t last = line.rfind('\t');
                const size_t before = line.rfind('\t', last - 1);
                logged[line.substr(before + 1, last - before - 1)] = line.substr(last + 1);
            }
        }
        ASSERT_EQ(logged.size(), 3U) << readFile(log);
        std::map<std::string, std::string> kept;
        const std::string text = readFile(file);
        if (form == "csv") {
            for (const std::string &row : seqsInFileOrder(dir, file)) {
                const size_t first = row.find('=');
                const size_t last = row.rfind('=');
                kept[row.substr(first + 1, last - first - 1)] = row.substr(last + 1);
            }
        } else {
            for (const std::string &line : lines(text)) {
                const std::regex host(
                    "\"Host\": \"([^\"]*)\".*\"V\": \\[ \"((?:[^\"\\\\]|\\\\.)*)\"");
                std::smatch match;
                ASSERT_TRUE(std::regex_search(line, match, host)) << line;
                std::string value = match[2];
                value = std::regex_replace(value, std::regex("\\\\\""), "\"");
                kept[value] = match[1];
            }
        }
        EXPECT_EQ(kept, logged) << form << "\n" << text;
        for (const auto &entry : kept) {
            EXPECT_TRUE(entry.second == "node-a" || entry.second == "node-b") << entry.second;
        }
    }
}
