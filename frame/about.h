// What the agent tells about itself: --help and --version. Both answer
// without root and without touching the log, so an operator can ask any
// installed copy what it is.
#pragma once

// When argv[1] is --help or --version: prints the answer on standard output
// and returns true (the caller exits 0). Otherwise returns false.
bool answer_about_option(int argc, char **argv);
// The version as --version shows it, without the program's name.
const char *version_text();
