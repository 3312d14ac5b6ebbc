// SetupWatch: the setup package's watch over each program it runs. It starts the program and,
// while it runs, answers any box of the program that stays open too long with the box's default
// button (logging the box's caption and text), and ends a program that neither ends nor shows a
// box in time. Nothing in the programs changes: every box they show leads on the same way
// whichever button is pressed.
//
//   SetupWatch.exe [/log=PATH] [/answer-after=SECONDS] [/limit=SECONDS] [/closes-itself=CAPTION]
//                  [/box-before=CODE] [/verdict=PATH] PROGRAM
//
//   /log=PATH               append what the watch did to this file
//   /answer-after=SECONDS   answer a box open this long (at most 2 s where nobody can see the
//                           screen); without it no box is answered, except where nobody can see
//                           the screen: nobody else can answer there, so the watch does, after 2 s
//   /limit=SECONDS          end the program when it neither ends nor shows a box this long after
//                           its start or the answer to its last box; without it, no limit, except
//                           where nobody can see the screen: there kUnseenLimitSeconds
//   /closes-itself=CAPTION  the program closes its boxes of this caption itself: answering one
//                           does not count as answering the program
//   /box-before=CODE        the program ends with CODE (0 to 255) only after it has shown a box
//                           (not one of the /closes-itself= caption): ended with CODE and no such
//                           box, it did not end by itself (it was killed).
//                           The watch looks for boxes every kPollMs (50 ms): a box answered
//                           faster than that, which no person does, can go unseen
//   /verdict=PATH           the program's process id, then the watch's verdict, in this file (see
//                           WriteVerdict): a watch ended from outside leaves no verdict, and its
//                           exit code means nothing; the id lets the package end the program it
//                           left running
//
// Every box of the program is logged once it is up (caption, text, buttons), whoever answers it;
// the watch's answer follows when it gives one. It presses only a button the box has: see
// ChooseButton.
//
// Exit code: the program's own; kWatchAnsweredBox more when the program ended with 0 or 1 after
// the watch answered one of its boxes (other than one that closes itself); kWatchEndedProgram
// when the watch ended it; kWatchProgramStayed when it ended it and the program still had not gone
// kEndWaitSeconds later; kWatchNotStarted when the arguments were wrong or the program could not
// be started; kWatchNoBoxBefore when it ended with the /box-before= code without having shown a
// box. The setup package's script reads the values from these lines: keep each
// constant on one line, in this form.
#pragma once

#include <stddef.h>
#include <wchar.h>

static const unsigned long kWatchAnsweredBox = 256;
static const unsigned long kWatchEndedProgram = 512;
static const unsigned long kWatchNotStarted = 513;
static const unsigned long kWatchProgramStayed = 514;
static const unsigned long kWatchNoBoxBefore = 515;
// Never the watch's own: the package's word for a watch that ended without its verdict.
static const unsigned long kWatchNoVerdict = 516;
// The longest /answer-after or /limit accepted: one day.
static const unsigned long kMaxWatchSeconds = 86400;

// The limit where nobody can see the screen and none was given; how long the watch waits for a
// program it ended to go.
static const unsigned long kUnseenLimitSeconds = 300;
static const unsigned long kEndWaitSeconds = 30;

// An /answer-after or /limit that was not given.
static const unsigned long kWatchNever = 0xFFFFFFFFul;

struct WatchOptions {
    const wchar_t *logPath;              // NULL: no log
    unsigned long answerAfterMs;         // kWatchNever: never answer
    unsigned long limitMs;               // kWatchNever: no limit
    const wchar_t *selfClosingCaption;   // NULL: none
    unsigned long boxBeforeCode;         // kWatchNever: none
    const wchar_t *verdictPath;          // NULL: none
    const wchar_t *program;
};

// Reads the command line (argv[0] is the watch itself). Returns 1 when it names a program and
// every option is known and well formed; 0 otherwise.
int ParseWatchOptions(int argc, wchar_t **argv, WatchOptions *options);

// Writes `text` into `out` (capacity `cchOut`, terminator included) between double quotes,
// exactly and on one line: backslash, quote, line feed, carriage return and tab as \\ \" \n \r
// \t, every other character outside printable ASCII as \uXXXX. Returns 1 when it fits; otherwise
// 0, with `out` holding as much as fit, cut after a whole character.
int QuoteForLog(const wchar_t *text, wchar_t *out, size_t cchOut);

// How long a box may stay open before the watch answers it: what was asked for, but at most
// 2 seconds where nobody can see the screen (2 seconds there when nothing was asked for), so that a
// box that closes itself normally does so first and nothing waits for a person who is not there.
unsigned long AnswerDelayMs(unsigned long requestedMs, int screenVisible);

// The time limit: what was asked for, or where nobody can see the screen and nothing was asked
// for, kUnseenLimitSeconds.
unsigned long LimitMs(unsigned long requestedMs, int screenVisible);

// One push button of a box, in the box's control order.
struct BoxButton {
    int id;
    int enabled;
};
// The button the watch presses: the box's default button when it has one and it is enabled
// (`defaultId`, 0 for none), else its OK, else its Cancel, else its first enabled push button.
// Returns the index in `buttons`, or -1 when the box has no button to press.
int ChooseButton(const BoxButton *buttons, int count, int defaultId);

// The verdict file, ASCII, one line: "started PID" once the program is started (before it runs a
// single instruction: it starts suspended), then "ended PID RESULT" as the watch's last act, RESULT
// being the watch's exit code. Each is written beside the file and renamed over it whole. Returns
// 1 when written (or when no file was asked for).
int WriteVerdict(const wchar_t *path, unsigned long processId, int ended, unsigned long result);

// Starts the program suspended, writes its "started" verdict, then lets it run. Returns 1 with
// `process` (its handle, which the caller closes) and `processId`; 0, logged into `log` (a handle
// or INVALID_HANDLE_VALUE), when it could not be started or its id not written: then it was ended
// before it ran.
int StartWatchedProgram(const WatchOptions *options, void **process, unsigned long *processId, void *log);

// Starts and watches the program; returns the exit code described above.
int RunWatch(const WatchOptions *options);
