// kx27's commands, run without a window: refresh, apply, build and search. No Qt
// and no display: they work from cron, a systemd timer or ssh.
#pragma once

// What a scheduler reads from the exit status.
enum TExitStatus {
    esDone = 0,
    esUsage = 1,        // wrong arguments or environment; nothing was tried
    esSourceFile = 2,   // the file is missing, cannot be read or cannot make a table
    esDatabase = 3,     // the database refused, or could not be reached
    esOutput = 4,       // standard output could not be written; the work itself was done
    esStopped = 128,    // plus the signal's number, as a shell reports a job it ended: 130 SIGINT, 143 SIGTERM
};

// Parses the arguments (argv[0] is the program) and runs the command they
// name. Never throws.
int RunCommandLine(int argc, char** argv);
