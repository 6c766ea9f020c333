// The front end's options: the usage and help texts, the option values' parsers and getopt.

#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <unistd.h>

#ifndef FANRUN_VERSION
#define FANRUN_VERSION "unknown"
#endif

namespace fanrun_cli {

namespace {

constexpr const char *usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                              "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";
// Kept out of the usage, which tests and scripts compare whole.
constexpr const char *sweepUsage =
    "       fanrun [OPTION]... COMMAND... ::: VALUE... [:::[+] VALUE...]... [::::[+] FILE...]...\n";

// Bad usage shows the two forms that run commands; the help adds the one that lists.
constexpr const char *help =
    "       fanrun --failed [-0] LOG...\n"
    "       fanrun --failed -a FILE [-0|-d C] [--shard K/N] LOG...\n"
    "       fanrun --failed [-a FILE]... [--colsep R] [--header :] LOG... [::::[+] FILE...]...\n"
    "       fanrun --semaphore [--id NAME] [-j N] [--fg] [--semaphore-timeout SECS] COMMAND...\n"
    "       fanrun --semaphore --wait [--id NAME] [--semaphore-timeout SECS]\n"
    "Runs a command once per ARGUMENT (or per -n N of them), at most N at a time, and reports\n"
    "every command's exit code.\n"
    "\n"
    "The command: TEMPLATE is shell code in which every {} stands for the argument. Several\n"
    "words before -- (COMMAND WORD...) are taken as words, as xargs takes them: each is\n"
    "quoted for bash, so 'a b' stays one word, and a {} inside a word stands for the argument.\n"
    "A command without any replacement string gets the argument appended as one more word:\n"
    "  fanrun -j 4 gzip -- *.log    runs gzip 'x.log' for every file.\n"
    "A {} is quoted for where it stands: bare, inside a word, in an assignment, inside\n"
    "\"...\", '...' or $'...' (the quotes are closed around it and opened again), inside\n"
    "$(...), after <<<; so 'echo \"{}\"' prints the argument as it is. A template with {}\n"
    "inside backquotes, arithmetic ($((...)), ((...)), $[...]), ${...} or a here-document,\n"
    "or right after $ or \\, is refused (exit status 2, nothing runs) with a line that says\n"
    "what to write instead; so is a command too long for exec.\n"
    "The replacement strings, each found and quoted like {} for where it stands (and put in\n"
    "as they are with --raw):\n"
    "  {}    the argument                  {/}   the last component (after the last /)\n"
    "  {.}   without its extension         {//}  the directory (before the last /; . if none)\n"
    "  {/.}  the last component without its extension\n"
    "  {#}   the argument's position in the input, from 1\n"
    "  {%}   the job slot, 1 to N: the lowest free one; no two running commands share one\n"
    "An extension is the last component's text from its last dot, unless that dot starts or\n"
    "ends it (.bashrc and a. stay whole).\n"
    "\n"
    "The shell: a command of plain words starts its program directly, as xargs does, without\n"
    "/bin/bash: the words form, or a TEMPLATE of words made only of letters, digits,\n"
    "_ . / , : + @ % - and replacement strings (no quotes, $, redirection, pipe, glob, ~, =,\n"
    "# or other shell syntax), whose first word is a program: not a bash builtin or keyword\n"
    "(echo, true, cd, if, ...) and without a replacement string. Each replacement string then\n"
    "goes into its word as the argument's bytes. Anything else, --raw and --shell start\n"
    "/bin/bash -c COMMAND. Either way the report and --dry-run show the command as bash\n"
    "would read it; a program not found ends with 127, one that cannot run with 126.\n"
    "\n"
    "The arguments: those after TEMPLATE or after -- (only the first -- separates; later ones\n"
    "are arguments). Without any, they are read from standard input (or -a FILE), one per\n"
    "line, empty lines skipped; a command starts as soon as its argument has been read, and\n"
    "the input is never held whole (tail -f log | fanrun ... works). Each argument reaches\n"
    "its command as exactly one word, whatever it holds (spaces, quotes, $(...), globs,\n"
    "newlines): it is quoted for bash ('...', or $'...' when it holds control characters),\n"
    "and the report shows it so.\n"
    "Arguments made only of letters, digits and _ . / , : + @ % - are used as they are.\n"
    "Keep this default for file names and any data; use --raw only when the arguments are\n"
    "themselves shell code to run (a list of commands).\n"
    "\n"
    "Sweeps: several sources run the product of their values, the last varying fastest:\n"
    "  fanrun './sim --alpha {1} --beta {2}' ::: 0.1 0.2 ::: 1 2 3    runs 6 commands.\n"
    "::: VALUE... is a source of words, :::: FILE... a source per file (- standard input),\n"
    "and so is each -a FILE (given first); :::+ and ::::+ pair a source with the one before\n"
    "by position (as many as the shorter has), --link pairs them all (the shorter recycled).\n"
    "The first source streams; the others are read whole before the run and held. After the\n"
    "command's first word, whichever of -- and ::: (or :::+, ::::, ::::+) comes first wins:\n"
    "after --, a ::: is an argument; after :::, a -- is a value.\n"
    "  {1} ... {N}  the value of source (or --colsep column) N; {N.} {N/} {N//} {N/.} its\n"
    "               parts, as for {}; with several values {} is all of them, each quoted,\n"
    "               joined by a space. {N} beyond the sources given is refused (exit 2).\n"
    "  --header :   the first value of each source (the first line with --colsep) names\n"
    "               it: {NAME} stands for that value, {NAME.} {NAME/} {NAME//} {NAME/.} for\n"
    "               its parts; ${1} stays the shell's own. --header REGEX: the same, and each\n"
    "               first value (a newline after it) must match REGEX at its start (exit 2):\n"
    "               fanrun --colsep , --header '^id,' 'echo {id} {name/.}' :::: t.csv\n"
    "\n"
    "  -j, --jobs N            run at most N commands at once (default: online processors);\n"
    "                          N% of the processors, +N or -N of them (at least 1), 0 as many\n"
    "                          as the process and descriptor limits allow (said at the start),\n"
    "                          or a FILE holding one of these, read again as each command ends\n"
    "                          (and as the file changes): 0 in it starts nothing new and lets\n"
    "                          the running commands finish, e.g. echo 0 > jobs drains a run\n"
    "  -o, --output-dir DIR    directory for the output files, created if missing (its parent\n"
    "                          must exist; default: fanrun-out, with --shard\n"
    "                          fanrun-out/shard-K-of-N)\n"
    "  -0, --null              input items end with a NUL byte (find -print0, git ls-files -z)\n"
    "  -d, --delimiter C       input items end with the byte C; C may be \\n \\t \\r \\v \\f \\a\n"
    "                          \\b \\0 \\\\ or \\xHH (with -0 or -d every item counts, empty\n"
    "                          ones too; a last delimiter at the end is optional)\n"
    "  -a, --arg-file FILE     read the arguments from FILE instead of standard input ('-' is\n"
    "                          standard input); given again, each FILE is a source\n"
    "  -g, --group             write each command's standard output (and error) to fanrun's\n"
    "                          own, whole, when the command ends: never mixed with another's\n"
    "  -k, --keep-order        as --group, in input order (waiting output is held on disk)\n"
    "  -u, --ungroup           commands write straight to fanrun's standard output and error\n"
    "                          (fastest; lines of different commands may mix)\n"
    "      --tag               put the argument and a TAB before every line a command writes\n"
    "                          (with -g, -k or --lb; alone it means -g --tag)\n"
    "      --line-buffer, --lb write each line of the commands' output whole as soon as it is\n"
    "                          complete: lines of commands running at once interleave, a line\n"
    "                          never mixes; a last line without a newline is written when its\n"
    "                          command's output ends; a line above 1 MiB goes out in pieces as\n"
    "                          it comes. Not with -k (use -k alone) nor -o DIR\n"
    "      --latest-line, --ll on a terminal, a row per running command showing its latest\n"
    "                          line, rewritten in place and cut to the width (control bytes\n"
    "                          shown as ?); its last line stays when it ends; standard error\n"
    "                          as with --lb. Elsewhere it is --lb\n"
    "      --tagstring STR     as --tag, with STR as the tag: its replacement strings ({} {#}\n"
    "                          {%} {/} {.} {//} {/.}) put in as text, never quoted\n"
    "  -v, --verbose           write each command on standard output as it starts, before its\n"
    "                          output (with -g and -k the first line of its group); in the\n"
    "                          default mode, where standard output has the report, on\n"
    "                          standard error\n"
    "      --report FILE       write the report into FILE (with -g, -k, -u or --tag it goes\n"
    "                          to standard error otherwise); FILE must be a regular file or\n"
    "                          new: a symbolic link or FIFO is refused, as for --joblog\n"
    "      --raw               put arguments into the command as they are, as shell code\n"
    "      --timeout DURATION  end a command still running DURATION seconds (fractions allowed)\n"
    "                          after its start: SIGTERM, then SIGKILL 2 seconds later (see\n"
    "                          --termseq); it counts as failed (-1 in the report). N%: N percent\n"
    "                          of the median runtime of the commands that succeeded so far, fixed\n"
    "                          as each command starts (one that starts before any succeeded\n"
    "                          has none), e.g. --timeout 300%\n"
    "      --halt soon|now     after the first failed command start no new one; soon: let the\n"
    "                          running ones finish; now: end them as an interrupt does\n"
    "      --halt soon|now,fail=N|success=N|done=N\n"
    "                          halt once N commands failed, succeeded, or ended either way (a\n"
    "                          command still to be retried has not failed yet); N% of the\n"
    "                          commands of the run known so far instead; --halt now,success=1\n"
    "                          ends a search at its first hit; after a success rule the exit\n"
    "                          status is 0 (--halt never: the default)\n"
    "      --termseq SIG,MS,SIG,...,SIG\n"
    "                          the signals that end a command for --timeout and --halt now and\n"
    "                          the milliseconds between them (default TERM,2000,KILL)\n"
    "      --delay D           at least D seconds (fractions allowed) between two starts\n"
    "      --load MAX          start a command only while the one-minute load average is below\n"
    "                          MAX (fractions allowed), or N% of the processors; looked at once\n"
    "                          a second while it is not (FANRUN_LOADAVG=FILE reads FILE instead\n"
    "                          of /proc/loadavg)\n"
    "      --memfree SIZE      start a command only while SIZE bytes (k, M, G, T: powers of\n"
    "                          1024) are available (MemAvailable); below half of it end the\n"
    "                          youngest command (--termseq) and run it again later, which is\n"
    "                          neither a failure nor a retry (FANRUN_MEMINFO=FILE reads FILE\n"
    "                          instead of /proc/meminfo)\n"
    "      --nice N            run at niceness N (-20 to 19), the runner and its commands\n"
    "      --progress          a status line on standard error while the run goes on (rewritten\n"
    "                          in place on a terminal, else at most one line a second)\n"
    "      --bar               --progress drawn on a terminal as a bar before the figures\n"
    "                          (elsewhere it is --progress)\n"
    "      --tty               give each command the terminal, for one that asks for a password\n"
    "                          or is interactive: it reads /dev/tty and gets the terminal's\n"
    "                          keys (Ctrl-C reaches it too); implies -j 1; its output goes\n"
    "                          to fanrun's own streams, as with -u, unless -o DIR is given\n"
    "  -n, --max-args N        give each command up to N arguments, as xargs -n does (fewer\n"
    "                          where more would not fit exec): {} must be a word of its own\n"
    "                          and stands for all of them, each one word;\n"
    "                          {%} is the job slot; {.} {/} {//} {/.} {#} are refused with\n"
    "                          N > 1. The report has a line per command, --tag the arguments\n"
    "                          joined by a space, the job log records for each argument\n"
    "      --shell             always start the command with /bin/bash -c\n"
    "      --dry-run           print every command exactly as it would run, one per line, as\n"
    "                          its argument arrives, and run nothing\n"
    "      --shard K/N         run only the arguments at positions i (from 0, input order) with\n"
    "                          i mod N = K, for one of N machines or job array tasks\n"
    "      --joblog FILE       append a line to FILE as each command starts and as it ends\n"
    "                          (tab-separated: event start runtime exit signal attempt\n"
    "                          occurrence argument; a new FILE begins with that header line)\n"
    "      --resume            with --joblog: leave out every argument the log has an end for\n"
    "                          (matched by its bytes and its occurrence among equal arguments,\n"
    "                          never by position); say how many never ended, and run those\n"
    "      --resume-failed     with --joblog: leave out only the arguments whose last end in the\n"
    "                          log was a success (rerun what failed, with a fixed command)\n"
    "      --retries N         run a failed command (non-zero exit, signal, timeout) again, up\n"
    "                          to N more times; it fails only when its last attempt does\n"
    "      --retry-delay D     wait D seconds (fractions allowed) before an argument's first\n"
    "                          retry, twice as long before each further one\n"
    "      --failed            run nothing: list every argument of the job logs LOG... that has\n"
    "                          no successful end in any of them, once, in the order first seen,\n"
    "                          one per line (an argument holding a newline, or an empty one,\n"
    "                          is refused with exit 2); with -0 each ends with a NUL byte.\n"
    "                          Exit 3 when a log's run did not start all its input (killed):\n"
    "                          with -a FILE, list every argument of that input left to run;\n"
    "                          given a sweep's sources (several -a, :::: FILE..., --colsep,\n"
    "                          --header, --link, as the run had them), every tuple left, its\n"
    "                          values joined by a TAB (with --header the names first):\n"
    "                          fanrun --failed -a xs -a ys LOG > left; fanrun --joblog LOG\n"
    "                          --resume-failed --colsep '\\t' CMD :::: left\n"
    "      --semaphore         run COMMAND (its words joined by spaces, for bash) once, when\n"
    "                          fewer than N (-j N, default 1: a mutex) commands of the same\n"
    "                          id run, counted across every fanrun of this user; a killed\n"
    "                          command's place comes back. Its output goes straight to\n"
    "                          fanrun's; fanrun returns 0 once it has started, in the\n"
    "                          background (places: $XDG_RUNTIME_DIR/fanrun, else\n"
    "                          /tmp/fanrun-UID, a folder of the user's own, or refused)\n"
    "      --id NAME           the semaphore's name (default: default); no '/'\n"
    "      --fg                with --semaphore: run the command in the foreground; fanrun's\n"
    "                          exit status is the command's (128+N when signal N ended it)\n"
    "      --wait              with --semaphore: run nothing; return once no command of the id\n"
    "                          runs\n"
    "      --semaphore-timeout SECS\n"
    "                          with --semaphore: wait at most SECS seconds (fractions allowed;\n"
    "                          a sign is ignored) for a place, or with --wait for the end;\n"
    "                          then say so and exit 124 without running the command (GNU\n"
    "                          sem's positive SECS would run it anyway, beyond N)\n"
    "      --results DIR|FILE  keep each command's stdout, stderr and number (seq) under\n"
    "                          DIR/1/VALUE/.../ by its values (escaped where a value cannot be\n"
    "                          a folder name, see fanrun(1)); FILE.csv, FILE.tsv or FILE.json:\n"
    "                          one record per command (Seq Host Starttime JobRuntime Send\n"
    "                          Receive Exitval Signal Command V1..Vn Stdout Stderr). Output is\n"
    "                          kept besides the mode's own (not with -u); one that cannot be\n"
    "                          kept fails its command. With --resume the records are kept\n"
    "  -S, --sshlogin [N/]HOST[,...]\n"
    "                          run the commands on these hosts over ssh (repeatable): each\n"
    "                          one on a host with a free job slot, as ssh HOST bash -c\n"
    "                          COMMAND, every argument reaching it as exactly its bytes; ':'\n"
    "                          is this machine; N/ gives a host N slots, else -j N, else its\n"
    "                          processor count (asked once). One shared ssh connection per\n"
    "                          host, at most 10 opening at once. A command whose ssh exits\n"
    "                          255 (connection lost) runs again elsewhere without using up\n"
    "                          --retries (up to --retries + 3 times); a host with 3\n"
    "                          connection failures in a row, or that cannot be reached at the\n"
    "                          start, is left out with a message\n"
    "      --sshloginfile FILE\n"
    "                          the hosts of FILE, one -S list per line ('#' comments); read\n"
    "                          again when it changes while the run goes on, so hosts can join\n"
    "                          (with N/, -j or 1 slot) or leave (their running commands finish)\n"
    "      --slf FILE          the same as --sshloginfile FILE\n"
    "      --ssh CMD           the ssh command (default ssh), split at blanks; it must take\n"
    "                          ssh's -o and -O options\n"
    "      --transfer-file FILE\n"
    "                          copy FILE (replacement strings allowed: --tf {}) to the\n"
    "                          remote host before the command, with tar over its connection;\n"
    "                          a relative name lands below the remote working directory with\n"
    "                          the same path, an absolute one at its path, a/./b as b. A\n"
    "                          failed copy fails the command unrun. No effect on ':'\n"
    "      --tf FILE           the same as --transfer-file FILE\n"
    "      --transfer          the same as --tf {}\n"
    "      --return FILE       fetch FILE back here after the command (replacement strings\n"
    "                          allowed); one that cannot be fetched fails the command\n"
    "      --cleanup           remove the transferred and returned files there afterwards\n"
    "      --trc FILE          --transfer --return FILE --cleanup:\n"
    "                          fanrun -S node1 --trc {}.gz 'gzip -c {} > {}.gz' -- *.log\n"
    "      --basefile FILE     copy FILE to every host before its first command (removed at\n"
    "                          the end with --cleanup)\n"
    "      --bf FILE           the same as --basefile FILE\n"
    "      --workdir DIR       run the commands in DIR (made if missing; there relative to\n"
    "                          the login directory, here to this one); ... a fresh\n"
    "                          folder per command under ~/.fanrun/tmp, removed after it; . this\n"
    "                          machine's working directory (below $HOME as below the remote's)\n"
    "      --wd DIR            the same as --workdir DIR\n"
    "      --env NAME          pass the variable or exported bash function NAME on to the\n"
    "                          remote commands\n"
    "      --nonall            run the command once on every host, with no argument\n"
    "      --onall             run every argument's command on every host, host after host\n"
    "      --slurm             inside a Slurm allocation (salloc, sbatch), run every command\n"
    "                          as a step of it (srun, one task) on a node with free CPUs; at\n"
    "                          once -j, else SLURM_NTASKS, else the allocation's CPUs /\n"
    "                          --cpus-per-command. A step that Slurm could not place or whose\n"
    "                          node was lost runs again (up to --retries + 3 times) without\n"
    "                          using up --retries; a node with 3 lost steps in a row is left\n"
    "                          out; the job log's host is the node. Needs the current\n"
    "                          directory shared with the nodes\n"
    "      --cpus-per-command N\n"
    "                          CPUs of each step with --slurm (default 1)\n"
    "      --link              pair every source by position, the shorter ones recycled\n"
    "      --colsep REGEX      split each value (each input line) at REGEX (ECMAScript) into\n"
    "                          columns {1} ... {N}; beyond a line's columns {N} is empty\n"
    "      --trim n|l|r|lr     remove blanks (spaces, TABs) left, right or both of each\n"
    "                          column or value (default n: none)\n"
    "      --header :|REGEX    the first value of each source names it ({NAME}); with REGEX\n"
    "                          that value must match it at its start\n"
    "  -I STR                  STR stands for the argument instead of {}\n"
    "  -m                      as -n with no limit: as many arguments as exec takes\n"
    "  -X                      as -m, and the word around {} is repeated for each argument:\n"
    "                          fanrun -X 'cp --target=out {}' runs cp --target=out a ...\n"
    "  -N, -n 0                run the command once per argument, with nothing of it (-N N\n"
    "                          otherwise is -n N); -n, -N and -m take one source\n"
    "      --pipe              cut standard input (or -a FILE) into blocks at record ends and\n"
    "                          give each block to one command as its standard input, instead\n"
    "                          of arguments: fanrun --pipe -k -j 4 gzip -1 < big > big.gz\n"
    "                          (output as with -g unless -k, -u or -o DIR; the job log and\n"
    "                          --tag name a block by number and bytes: block 3 bytes A-B)\n"
    "      --pipe-part         as --pipe for the regular file -a FILE: each command reads its\n"
    "                          byte range straight from the file (the fast path)\n"
    "      --block SIZE        bytes a block holds at most (default 1M; k, M, G, T suffixes of\n"
    "                          1024); a record larger than the block is never cut: its block\n"
    "                          grows to hold it. With --pipe-part, -N: N parts per job slot\n"
    "      --recend STR        text a record ends with (default a newline; '' with --recstart)\n"
    "      --recstart STR      text a record begins with (default nothing); a block is cut\n"
    "                          only between a recend and a recstart; --recend '' --recstart ''\n"
    "                          cuts anywhere (binary data)\n"
    "      --regexp            --recend and --recstart are extended regular expressions\n"
    "      --rrs               remove the record separators (recend, recstart) from the blocks\n"
    "  -N N                    exactly N records per block (the last one may have fewer)\n"
    "  -L N                    a record is N lines (N recends)\n"
    "      --header REGEX      repeat the input's header, the lines REGEX matches at its start\n"
    "                          (':' for the first line), at the start of every block\n"
    "      --cat               put the block in a file named {} instead of standard input\n"
    "      --fifo              put the block in a FIFO named {} instead of standard input\n"
    "      --round-robin       start -j long-lived commands (fewer for fewer blocks) and give\n"
    "                          them the blocks in turn through their standard input, ended\n"
    "                          with the input: fanrun --pipe --round-robin -j 4 ./load.sh\n"
    "                          < big.csv. What a command leaves unread goes to another; input\n"
    "                          no command could read fails the run (123). Also with\n"
    "                          --pipe-part; not with --cat, --fifo, --retries, --memfree, -S\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Every command's standard input is /dev/null (with --tty: /dev/tty). By default its\n"
    "standard output and error go to DIR/PID.stdout and DIR/PID.stderr (shards on one shared\n"
    "file system need one -o DIR each); with -g, -k or -u they go to fanrun's own and no file\n"
    "is made unless -o DIR is given. The run closes with a report on standard output (with\n"
    "-g, -k, -u or --tag on standard error, or in the --report FILE): the line\n"
    "\"commands completed running\",\n"
    "then \"pid 1 exit-code command\" per command in launch order (exit code -1: ended by a\n"
    "signal). While the commands run, SIGUSR1 prints the first line of the report and SIGUSR2\n"
    "the whole report so far (both are ignored before the first command has started and after\n"
    "the run). SIGINT, SIGTERM or SIGHUP stop the run: no new command starts,\n"
    "the running ones get the same signal (their whole process group), the report of what was\n"
    "started is printed; a second SIGINT or SIGTERM ends what still runs with SIGKILL.\n"
    "A command that wants the terminal without --tty (ssh, sudo or git asking for a password)\n"
    "is stopped by it: the runner names it on standard error, ends it, and it counts as failed.\n"
    "\n"
    "Exit status:\n"
    "  0      every argument's command ran and exited 0 (with --resume: in this run or in the\n"
    "         job log; and --dry-run, --help, --version)\n"
    "  123    at least one command exited non-zero, was ended by a signal or a timeout, or\n"
    "         could not be set up (with --retries: its last attempt); with --dry-run: one\n"
    "         was too long for exec\n"
    "  1      the runner itself failed (output directory, memory, processes, or the report, the\n"
    "         commands' output or the job log could not be written)\n"
    "  2      bad usage or unreadable input; nothing was run (input that fails later, while\n"
    "         commands run: no further command starts)\n"
    "  128+N  the run was stopped by signal N (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP)\n"
    "  124    --semaphore: no place came free within --semaphore-timeout (with --fg every\n"
    "         other status is the command's)\n";

// -j in any of its forms: a count, N% or +N/-N of the processors, 0 or a FILE.
int parseJobs(const char *text, JobsForm &form) {
    std::string message;
    if (!parseJobsForm(text, form, message)) {
        badUsage("%s", message.c_str());
    }
    if (form.machine) {
        std::string why;
        return machineJobs(why);
    }
    return form.count;
}

// Seconds: digits with an optional fraction, more than 0 and at most INT_MAX.
// Seconds: digits with an optional fraction, at least 0 (more than 0 unless zeroAllowed) and at
// most INT_MAX; option names the option in the message.
double parseSeconds(const char *option, const char *text, bool zeroAllowed) {
    const char *at = text;
    size_t digits = strspn(at, "0123456789");
    at += digits;
    if (*at == '.') {
        size_t fraction = strspn(at + 1, "0123456789");
        digits += fraction;
        at += 1 + fraction;
    }
    double value = digits > 0 && *at == '\0' ? strtod(text, nullptr) : -1;
    if (!(value > 0 || (zeroAllowed && value == 0)) || value > INT_MAX) {
        badUsage("%s needs a number of seconds %s (fractions allowed, at most %d), not '%s'",
                 option, zeroAllowed ? "from 0" : "above 0", INT_MAX, text);
    }
    return value;
}

// One byte, or one of the escapes the help names.
int parseDelimiter(const char *text) {
    if (text[0] != '\0' && text[1] == '\0') {
        return static_cast<unsigned char>(text[0]);
    }
    if (text[0] == '\\' && text[1] != '\0' && text[2] == '\0') {
        static const char names[] = "0abfnrtv\\";
        static const char bytes[] = {'\0', '\a', '\b', '\f', '\n', '\r', '\t', '\v', '\\'};
        const char *found = strchr(names, text[1]);
        if (found != nullptr) {
            return bytes[found - names];
        }
    }
    if (text[0] == '\\' && text[1] == 'x' && isxdigit(static_cast<unsigned char>(text[2])) != 0 &&
        isxdigit(static_cast<unsigned char>(text[3])) != 0 && text[4] == '\0') {
        return static_cast<int>(strtol(text + 2, nullptr, 16));
    }
    badUsage("-d needs one byte or one of \\n \\t \\r \\v \\f \\a \\b \\0 \\\\ \\xHH, not '%s'",
             text);
}

Shard parseShard(const char *text) {
    const char *slash = strchr(text, '/');
    Shard shard;
    if (slash != nullptr) {
        shard.index = wholeNumber(text, slash);
        shard.count = wholeNumber(slash + 1, slash + strlen(slash));
    }
    if (slash == nullptr || shard.index < 0 || shard.count < 1 || shard.index >= shard.count) {
        badUsage("--shard needs K/N with whole numbers 0 <= K < N, not '%s'", text);
    }
    return shard;
}

enum LongOnly {
    optRaw = 256,
    optTimeout,
    optHalt,
    optProgress,
    optDryRun,
    optShard,
    optTag,
    optReport,
    optFailed,
    optJoblog,
    optResume,
    optResumeFailed,
    optRetries,
    optRetryDelay,
    optTty,
    optShell,
    optSemaphore,
    optId,
    optFg,
    optWait,
    optSemaphoreTimeout,
    optSemaphoreHeld,
    optLineBuffer,
    optLatestLine,
    optBar,
    optTagString,
    optResults,
    optSshLoginFile,
    optSsh,
    optTransferFile,
    optTransfer,
    optReturn,
    optCleanup,
    optTrc,
    optBasefile,
    optWorkdir,
    optEnv,
    optOnall,
    optNonall,
    optSlurm,
    optCpusPerCommand,
    optLink,
    optColsep,
    optTrim,
    optHeader,
    // --pipe, --pipe-part and their options
    optPipe,
    optPipePart,
    optBlock,
    optRecend,
    optRecstart,
    optRegexp,
    optRrs,
    optRoundRobin,
    optCat,
    optFifo,
    optDelay,
    optLoad,
    optMemfree,
    optNice,
    optTermseq,
};

} // namespace

long wholeNumber(const char *text, const char *end) {
    if (text == end || end - text > 10) {
        return -1;
    }
    long value = 0;
    for (const char *at = text; at != end; ++at) {
        if (*at < '0' || *at > '9') {
            return -1;
        }
        value = value * 10 + (*at - '0');
    }
    return value > INT_MAX ? -1 : value;
}

void badUsage(const char *format, ...) {
    fputs("fanrun: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fputs(usage, stderr);
    exit(exitMisuse);
}

int defaultJobs() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) {
        return 1;
    }
    return online > INT_MAX ? INT_MAX : static_cast<int>(online);
}

namespace {

// The file name an option was given; an empty one is bad usage.
const char *fileName(const char *option, const char *text) {
    if (text[0] == '\0') {
        badUsage("%s needs a file name", option);
    }
    return text;
}

// The name --env was given: a variable's (or bash function's) name.
const char *variableName(const char *text) {
    const auto word = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    if (text[0] == '\0' || isdigit(static_cast<unsigned char>(text[0])) ||
        !std::all_of(text, text + strlen(text), word)) {
        badUsage("--env takes the name of a variable or function, not '%s'", text);
    }
    return text;
}

// The option getopt has just refused, the word it began in at element: a long one as written
// (up to any '='), a short one alone, also when letters follow it ("-Q2", "-gQ").
std::string optionName(char **argv, int element) {
    // Within a word of short options getopt stays at that word until its last letter.
    const char *word = optind == element ? argv[element] : argv[optind - 1];
    if (strncmp(word, "--", 2) == 0) {
        return std::string(word, strcspn(word, "="));
    }
    return optopt > 0 && optopt < 256 ? std::string{'-', static_cast<char>(optopt)}
                                      : std::string(word);
}

// --block SIZE: bytes, with k, M, G or T for powers of 1024; negative (parts per job slot)
// only for --pipe-part, checked once every option is known.
long long parseBlockSize(const char *text) {
    const bool negative = text[0] == '-';
    const char *digits = negative ? text + 1 : text;
    char *end = nullptr;
    errno = 0;
    const unsigned long long value =
        isdigit(static_cast<unsigned char>(digits[0])) != 0 ? strtoull(digits, &end, 10) : 0;
    int shift = 0;
    if (end != nullptr && end[0] != '\0' && end[1] == '\0') {
        const char *units = strchr("kKmMgGtT", end[0]);
        shift = units != nullptr ? 10 * static_cast<int>((units - "kKmMgGtT") / 2 + 1) : -1;
    } else if (end != nullptr && end[0] != '\0') {
        shift = -1;
    }
    constexpr unsigned long long most = 1ULL << 50;
    if (end == nullptr || errno != 0 || shift < 0 || value == 0 || value > (most >> shift)) {
        badUsage("--block needs a size from 1 byte to 1P (k, M, G, T suffixes), not '%s'", text);
    }
    const auto size = static_cast<long long>(value << shift);
    return negative ? -size : size;
}

// The options of --pipe and --pipe-part go with them, and with what a block can be given to.
void checkPipe(Settings &settings) {
    PipeOptions &pipe = settings.pipe;
    const bool any = pipe.block != 0 || pipe.recend != nullptr || pipe.recstart != nullptr ||
                     pipe.regexp || pipe.removeSeparators || pipe.records > 0 || pipe.lines > 0 ||
                     pipe.header != nullptr || pipe.roundRobin || pipe.cat || pipe.fifo;
    if (!pipe.pipe) {
        if (any) {
            badUsage("--block, --recend, --recstart, --regexp, --rrs, -N, -L, --header, "
                     "--round-robin, --cat and --fifo go with --pipe or --pipe-part");
        }
        return;
    }
    if (pipe.part && settings.argFile == nullptr) {
        badUsage("--pipe-part reads a regular file: give it with -a FILE");
    }
    if (pipe.block < 0 && !pipe.part) {
        badUsage("a negative --block (parts per job slot) goes with --pipe-part");
    }
    if (pipe.cat && pipe.fifo) {
        badUsage("--cat and --fifo exclude each other");
    }
    if (pipe.roundRobin && (pipe.cat || pipe.fifo || settings.retries > 0 ||
                            settings.room.memFree > 0 || settings.remote())) {
        // A long-lived command reads many blocks from its standard input: none has a file of
        // its own, and one that ended cannot start again with what it had read.
        badUsage("--round-robin does not go with --cat, --fifo, --retries, --memfree or -S");
    }
    if (settings.maxArgs > 1 || settings.resume || settings.resumeFailed || settings.dryRun ||
        settings.terminal || settings.sharded) {
        badUsage("-n, --resume, --resume-failed, --dry-run, --tty and --shard do not go with "
                 "--pipe: blocks are not arguments");
    }
    // The commands' output comes back to fanrun's own streams, as users of --pipe expect.
    if (settings.output == OutputMode::files && settings.outputDir == nullptr) {
        settings.output = OutputMode::group;
    }
}

} // namespace

Settings parseOptions(int argc, char **argv) {
    static const option options[] = {
        {"jobs", required_argument, nullptr, 'j'},
        {"output-dir", required_argument, nullptr, 'o'},
        {"null", no_argument, nullptr, '0'},
        {"delimiter", required_argument, nullptr, 'd'},
        {"arg-file", required_argument, nullptr, 'a'},
        {"raw", no_argument, nullptr, optRaw},
        {"timeout", required_argument, nullptr, optTimeout},
        {"halt", required_argument, nullptr, optHalt},
        {"progress", no_argument, nullptr, optProgress},
        {"dry-run", no_argument, nullptr, optDryRun},
        {"shard", required_argument, nullptr, optShard},
        {"group", no_argument, nullptr, 'g'},
        {"keep-order", no_argument, nullptr, 'k'},
        {"ungroup", no_argument, nullptr, 'u'},
        {"tag", no_argument, nullptr, optTag},
        {"report", required_argument, nullptr, optReport},
        {"failed", no_argument, nullptr, optFailed},
        {"joblog", required_argument, nullptr, optJoblog},
        {"resume", no_argument, nullptr, optResume},
        {"resume-failed", no_argument, nullptr, optResumeFailed},
        {"retries", required_argument, nullptr, optRetries},
        {"retry-delay", required_argument, nullptr, optRetryDelay},
        {"tty", no_argument, nullptr, optTty},
        {"max-args", required_argument, nullptr, 'n'},
        {"shell", no_argument, nullptr, optShell},
        {"semaphore", no_argument, nullptr, optSemaphore},
        {"id", required_argument, nullptr, optId},
        {"fg", no_argument, nullptr, optFg},
        {"wait", no_argument, nullptr, optWait},
        {"semaphore-timeout", required_argument, nullptr, optSemaphoreTimeout},
        {"semaphore-held", required_argument, nullptr, optSemaphoreHeld},
        {"line-buffer", no_argument, nullptr, optLineBuffer},
        {"lb", no_argument, nullptr, optLineBuffer},
        {"latest-line", no_argument, nullptr, optLatestLine},
        {"ll", no_argument, nullptr, optLatestLine},
        {"verbose", no_argument, nullptr, 'v'},
        {"bar", no_argument, nullptr, optBar},
        {"tagstring", required_argument, nullptr, optTagString},
        {"results", required_argument, nullptr, optResults},
        {"sshlogin", required_argument, nullptr, 'S'},
        {"sshloginfile", required_argument, nullptr, optSshLoginFile},
        {"slf", required_argument, nullptr, optSshLoginFile},
        {"ssh", required_argument, nullptr, optSsh},
        {"transferfile", required_argument, nullptr, optTransferFile},
        {"transfer-file", required_argument, nullptr, optTransferFile},
        {"tf", required_argument, nullptr, optTransferFile},
        {"transfer", no_argument, nullptr, optTransfer},
        {"return", required_argument, nullptr, optReturn},
        {"cleanup", no_argument, nullptr, optCleanup},
        {"trc", required_argument, nullptr, optTrc},
        {"basefile", required_argument, nullptr, optBasefile},
        {"bf", required_argument, nullptr, optBasefile},
        {"workdir", required_argument, nullptr, optWorkdir},
        {"wd", required_argument, nullptr, optWorkdir},
        {"env", required_argument, nullptr, optEnv},
        {"onall", no_argument, nullptr, optOnall},
        {"nonall", no_argument, nullptr, optNonall},
        {"slurm", no_argument, nullptr, optSlurm},
        {"cpus-per-command", required_argument, nullptr, optCpusPerCommand},
        {"link", no_argument, nullptr, optLink},
        {"colsep", required_argument, nullptr, optColsep},
        {"trim", required_argument, nullptr, optTrim},
        {"header", required_argument, nullptr, optHeader},
        {"pipe", no_argument, nullptr, optPipe},
        {"pipe-part", no_argument, nullptr, optPipePart},
        {"block", required_argument, nullptr, optBlock},
        {"block-size", required_argument, nullptr, optBlock},
        {"recend", required_argument, nullptr, optRecend},
        {"recstart", required_argument, nullptr, optRecstart},
        {"regexp", no_argument, nullptr, optRegexp},
        {"rrs", no_argument, nullptr, optRrs},
        {"round-robin", no_argument, nullptr, optRoundRobin},
        {"cat", no_argument, nullptr, optCat},
        {"fifo", no_argument, nullptr, optFifo},
        {"delay", required_argument, nullptr, optDelay},
        {"load", required_argument, nullptr, optLoad},
        {"memfree", required_argument, nullptr, optMemfree},
        {"nice", required_argument, nullptr, optNice},
        {"termseq", required_argument, nullptr, optTermseq},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Settings settings;
    opterr = 0;
    int option = 0;
    std::string runOption; // the first option given that only a run takes
    bool keepOrderGiven = false;
    const char *recordsText = nullptr; // -N's value, read once --pipe is known
    const char *headerText = nullptr;  // --header's
    // '+': the first operand ends the options, so the template and its arguments may start with
    // '-'. ':' first: a missing value is told apart from an unknown option.
    for (;;) {
        const int element = optind;
        option = getopt_long(argc, argv, "+:j:o:0d:a:n:N:mXI:L:S:gkuvhV", options, nullptr);
        if (option == -1) {
            break;
        }
        // A semaphore runs one command as it stands: an option of a run would be silently lost.
        const bool forSemaphore = option == 'j' || option == 'h' || option == 'V' ||
                                  option == optSemaphore || option == optId || option == optFg ||
                                  option == optWait || option == optSemaphoreTimeout ||
                                  option == optSemaphoreHeld || option == ':' || option == '?';
        if (!forSemaphore && runOption.empty()) {
            runOption = option < 256 ? std::string{'-', static_cast<char>(option)}
                                     : std::string(argv[element], strcspn(argv[element], "="));
        }
        switch (option) {
        case 'j':
            settings.jobs = parseJobs(optarg, settings.jobsForm);
            break;
        case 'o':
            if (optarg[0] == '\0') {
                badUsage("-o needs a directory name");
            }
            settings.outputDir = optarg;
            break;
        case '0':
            settings.form = InputForm{false, '\0'};
            break;
        case 'd':
            settings.form = InputForm{false, parseDelimiter(optarg)};
            break;
        case 'a':
            // Each -a is a source of its own; the first is the one input of a run without others.
            settings.argFiles.push_back(fileName("-a", optarg));
            if (settings.argFile == nullptr) {
                settings.argFile = settings.argFiles.front();
            }
            break;
        case optRaw:
            settings.raw = true;
            break;
        case optTimeout:
            if (optarg[0] != '\0' && optarg[strlen(optarg) - 1] == '%') {
                // A share of the median runtime: the dispatcher gives each command its own.
                const std::string share(optarg, strlen(optarg) - 1);
                settings.timeoutShare = parseSeconds("--timeout", share.c_str(), false);
                settings.options.timeoutSeconds = 0;
            } else {
                settings.options.timeoutSeconds = parseSeconds("--timeout", optarg, false);
                settings.timeoutShare = 0;
            }
            break;
        case optHalt: {
            std::string message;
            if (!parseHalt(optarg, settings.haltRule, message)) {
                badUsage("%s", message.c_str());
            }
            settings.options.halt = settings.haltRule.how;
            break;
        }
        case optProgress:
            settings.options.progress = 1;
            break;
        case optDryRun:
            settings.dryRun = true;
            break;
        case optShard:
            settings.shard = parseShard(optarg);
            settings.sharded = true;
            break;
        case 'g':
            settings.output = OutputMode::group;
            break;
        case 'k':
            settings.output = OutputMode::keepOrder;
            keepOrderGiven = true;
            break;
        case 'u':
            settings.output = OutputMode::ungroup;
            break;
        case optTag:
            settings.tag = true;
            break;
        case optReport:
            settings.reportPath = fileName("--report", optarg);
            break;
        case optFailed:
            settings.failed = true;
            break;
        case optJoblog:
            settings.joblogPath = fileName("--joblog", optarg);
            break;
        case optResume:
            settings.resume = true;
            break;
        case optResumeFailed:
            settings.resumeFailed = true;
            break;
        case optRetries:
            settings.retries = wholeNumber(optarg, optarg + strlen(optarg));
            if (settings.retries < 0) {
                badUsage("--retries needs a whole number from 0 to %d, not '%s'", INT_MAX, optarg);
            }
            break;
        case optRetryDelay:
            settings.retryDelay = parseSeconds("--retry-delay", optarg, true);
            break;
        case optTty:
            settings.terminal = true;
            break;
        case 'n':
        case 'N': {
            const long value = wholeNumber(optarg, optarg + strlen(optarg));
            if (value < 0) {
                badUsage("-%c needs a whole number from 0 to %d, not '%s'", option, INT_MAX,
                         optarg);
            }
            // -N0 runs the command once per argument without it; with --pipe, which may come
            // later, -N counts the records of a block instead.
            settings.noArguments = value == 0;
            settings.maxArgs = value == 0 ? 1 : static_cast<int>(value);
            if (option == 'N') {
                recordsText = optarg;
            }
            break;
        }
        case 'm':
        case 'X':
            // As many as exec takes.
            settings.maxArgs = INT_MAX;
            settings.noArguments = false;
            settings.wordCopies = option == 'X';
            break;
        case 'I':
            if (optarg[0] == '\0') {
                badUsage("-I needs a replacement string");
            }
            settings.argumentString = optarg;
            break;
        case optLink:
            settings.linkAll = true;
            break;
        case optColsep:
            if (optarg[0] == '\0') {
                badUsage("--colsep needs a regular expression");
            }
            settings.columns = optarg;
            break;
        case optTrim:
            settings.trim = optarg;
            break;
        case optHeader:
            // Its meaning depends on --pipe, which may come later.
            headerText = optarg;
            break;
        case optShell:
            settings.shell = true;
            break;
        case optSemaphore:
            settings.semaphore = true;
            break;
        case optId:
            settings.semaphoreId = optarg;
            break;
        case optFg:
            settings.foreground = true;
            break;
        case optWait:
            settings.waitAll = true;
            break;
        case optSemaphoreTimeout:
            // GNU sem's negative SECS (give up) is its positive one here.
            settings.semaphoreTimeout =
                parseSeconds("--semaphore-timeout", optarg[0] == '-' ? optarg + 1 : optarg, false);
            break;
        case optSemaphoreHeld: {
            // Not in the help: how a background semaphore invocation hands its place on.
            const long value = wholeNumber(optarg, optarg + strlen(optarg));
            if (value <= STDERR_FILENO) {
                badUsage("--semaphore-held needs a descriptor above 2, not '%s'", optarg);
            }
            settings.heldPlace = static_cast<int>(value);
            settings.semaphore = true;
            break;
        }
        case optLineBuffer:
            settings.lineBuffer = true;
            break;
        case optLatestLine:
            settings.lineBuffer = true;
            settings.latestLine = true;
            break;
        case 'v':
            settings.verbose = true;
            break;
        case optBar:
            settings.options.progress = 1;
            settings.options.progressBar = 1;
            break;
        case optTagString:
            settings.tagString = optarg;
            settings.tag = true;
            break;
        case optResults:
            settings.results = fileName("--results", optarg);
            break;
        case 'S':
            settings.sshLogins.push_back(optarg);
            break;
        case optSshLoginFile:
            settings.sshLoginFile = fileName("--sshloginfile", optarg);
            break;
        case optSsh:
            settings.sshCommand = optarg;
            break;
        case optTransferFile:
            settings.files.transfers.push_back(fileName("--transfer-file", optarg));
            break;
        case optTransfer:
            settings.files.transfers.push_back("{}");
            break;
        case optReturn:
            settings.files.returns.push_back(fileName("--return", optarg));
            break;
        case optCleanup:
            settings.files.cleanup = true;
            break;
        case optTrc:
            settings.files.transfers.push_back("{}");
            settings.files.returns.push_back(fileName("--trc", optarg));
            settings.files.cleanup = true;
            break;
        case optBasefile:
            settings.files.basefiles.push_back(fileName("--basefile", optarg));
            break;
        case optWorkdir:
            settings.files.workdir = fileName("--workdir", optarg);
            break;
        case optEnv:
            settings.files.env.push_back(variableName(optarg));
            break;
        case optOnall:
            settings.onall = true;
            break;
        case optNonall:
            settings.nonall = true;
            settings.noArguments = true;
            break;
        case optSlurm:
            settings.slurm = true;
            break;
        case optCpusPerCommand: {
            const long value = wholeNumber(optarg, optarg + strlen(optarg));
            if (value < 1) {
                badUsage("--cpus-per-command needs a whole number from 1 to %d, not '%s'", INT_MAX,
                         optarg);
            }
            settings.cpusPerCommand = static_cast<int>(value);
            break;
        }
        case optPipe:
            settings.pipe.pipe = true;
            break;
        case optPipePart:
            settings.pipe.pipe = true;
            settings.pipe.part = true;
            break;
        case optBlock:
            settings.pipe.block = parseBlockSize(optarg);
            break;
        case optRecend:
            settings.pipe.recend = optarg;
            break;
        case optRecstart:
            settings.pipe.recstart = optarg;
            break;
        case optRegexp:
            settings.pipe.regexp = true;
            break;
        case optRrs:
            settings.pipe.removeSeparators = true;
            break;
        case 'L': {
            const long value = wholeNumber(optarg, optarg + strlen(optarg));
            if (value < 1) {
                badUsage("-L needs a whole number from 1 to %d, not '%s'", INT_MAX, optarg);
            }
            settings.pipe.lines = value;
            break;
        }
        case optRoundRobin:
            settings.pipe.roundRobin = true;
            break;
        case optCat:
            settings.pipe.cat = true;
            break;
        case optFifo:
            settings.pipe.fifo = true;
            break;
        case optDelay:
            settings.room.delay = parseSeconds("--delay", optarg, true);
            break;
        case optLoad:
            settings.room.load = parseLoad(optarg);
            if (settings.room.load < 0) {
                badUsage("--load needs a load average above 0 (fractions allowed) or N%% of the "
                         "processors, not '%s'",
                         optarg);
            }
            break;
        case optMemfree:
            settings.room.memFree = parseSize(optarg);
            if (settings.room.memFree < 0) {
                badUsage("--memfree needs a size above 0 in bytes, or with k, M, G or T, not '%s'",
                         optarg);
            }
            break;
        case optNice: {
            const bool negative = optarg[0] == '-';
            const long value = wholeNumber(optarg + (negative ? 1 : 0), optarg + strlen(optarg));
            if (value < 0 || value > (negative ? 20 : 19)) {
                badUsage("--nice needs a niceness from -20 to 19, not '%s'", optarg);
            }
            settings.room.niced = true;
            settings.room.niceness = static_cast<int>(negative ? -value : value);
            break;
        }
        case optTermseq: {
            std::string message;
            if (!parseTermSequence(optarg, settings.termSignals, settings.termWaits, message)) {
                badUsage("%s", message.c_str());
            }
            break;
        }
        case 'h':
            fputs(usage, stdout);
            fputs(sweepUsage, stdout);
            fputs(help, stdout);
            exit(fflush(stdout) == 0 && ferror(stdout) == 0 ? 0 : exitRunner);
        case 'V':
            puts("fanrun " FANRUN_VERSION);
            exit(fflush(stdout) == 0 && ferror(stdout) == 0 ? 0 : exitRunner);
        case ':':
            badUsage("option '%s' needs a value", optionName(argv, element).c_str());
        case '?':
        default:
            badUsage("unknown option '%s'", optionName(argv, element).c_str());
        }
    }
    // -N and --header mean one thing for blocks and another for arguments.
    if (settings.pipe.pipe) {
        if (recordsText != nullptr) {
            const long value = wholeNumber(recordsText, recordsText + strlen(recordsText));
            if (value < 1) {
                badUsage("-N needs a whole number from 1 to %d with --pipe, not '%s'", INT_MAX,
                         recordsText);
            }
            settings.pipe.records = value;
            settings.noArguments = false;
            settings.maxArgs = 1;
        }
        settings.pipe.header = headerText;
    } else if (headerText != nullptr) {
        settings.header = true;
        settings.headerPattern = headerText;
    }
    if (settings.semaphore && !runOption.empty()) {
        badUsage("%s does not go with --semaphore, which runs one command as it stands",
                 runOption.c_str());
    }
    if (!settings.semaphore && (settings.semaphoreId != nullptr || settings.foreground ||
                                settings.waitAll || settings.semaphoreTimeout > 0)) {
        badUsage("--id, --fg, --wait and --semaphore-timeout go with --semaphore");
    }
    if ((settings.resume || settings.resumeFailed) && settings.joblogPath == nullptr) {
        badUsage("--resume and --resume-failed need --joblog FILE");
    }
    if (settings.lineBuffer) {
        // Holding the other commands' lines until the first one's have flowed would hold them
        // without bound, or on disk as -k does: -k alone is that.
        if (keepOrderGiven) {
            badUsage("%s cannot go with -k: use -k alone for output in input order",
                     settings.latestLine ? "--latest-line" : "--line-buffer");
        }
        if (settings.outputDir != nullptr) {
            badUsage("%s writes the output as it comes: it cannot go with -o DIR",
                     settings.latestLine ? "--latest-line" : "--line-buffer");
        }
        settings.output = OutputMode::lines;
    }
    // A command given the terminal writes to it as well, as -u lets it; -o DIR still asks for
    // the files.
    if (settings.terminal && settings.output == OutputMode::files &&
        settings.outputDir == nullptr && !settings.tag) {
        settings.output = OutputMode::ungroup;
    }
    checkPipe(settings);
    if (settings.tag && settings.output == OutputMode::files) {
        settings.output = OutputMode::group;
    }
    if (settings.onall && settings.nonall) {
        badUsage("--onall and --nonall exclude each other");
    }
    if ((settings.onall || settings.nonall) &&
        (settings.pipe.pipe || settings.resume || settings.resumeFailed || settings.sharded)) {
        badUsage("--onall and --nonall do not go with --pipe, --resume, --resume-failed or "
                 "--shard");
    }
    if ((settings.onall || settings.nonall) && !settings.remote()) {
        // Every host is this machine alone.
        settings.sshLogins.push_back(":");
    }
    if (settings.remote() && settings.terminal) {
        badUsage("--tty gives a command this machine's terminal: it does not go with -S or "
                 "--sshloginfile");
    }
    if (settings.slurm && (settings.remote() || settings.terminal)) {
        badUsage("--slurm runs the commands as steps on the allocation's nodes: it does not go "
                 "with -S, --sshloginfile, --onall, --nonall or --tty");
    }
    if (settings.tag && settings.output == OutputMode::ungroup) {
        badUsage("--tag and --tagstring need the output grouped or by lines: they cannot go "
                 "with -u");
    }
    if (settings.results != nullptr && settings.output == OutputMode::ungroup) {
        badUsage("--results needs the output captured: it cannot go with -u (nor --tty alone)");
    }
    if (settings.results != nullptr && settings.output == OutputMode::lines) {
        badUsage("--results needs the output captured: it cannot go with %s",
                 settings.latestLine ? "--latest-line" : "--line-buffer");
    }
    return settings;
}

} // namespace fanrun_cli
