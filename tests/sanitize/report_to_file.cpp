// Linked into the sanitized build of the tool only. The tool points its
// standard error at /dev/null, so a sanitizer report would vanish: it goes
// to BLEPROBE_SANITIZER_LOG.<pid> instead, where the tests find it.
// Every report also ends the process (a leak report at exit changes the exit
// status), as a fault must not let the run go on as if nothing happened.

extern "C" {

const char* __asan_default_options() { return "log_path=" BLEPROBE_SANITIZER_LOG ":detect_leaks=1"; }

const char* __ubsan_default_options() {
  return "log_path=" BLEPROBE_SANITIZER_LOG ":print_stacktrace=1:halt_on_error=1";
}

}  // extern "C"
