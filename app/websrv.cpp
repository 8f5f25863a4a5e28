// websrv: serves one directory over HTTP/1.1 behind Basic authentication.
// Started without arguments it runs until it is killed; --help tells more.
#include "app/main.h"

int main(int argc, char** argv) {
    int status = answer_arguments(argc, argv);
    if (status >= 0) return status;
    // argv[0] names the configuration and log files; an exec without it gets a plain name.
    if (!start_up(argc > 0 && argv[0] != nullptr ? argv[0] : "websrv")) return 1;
    run_main_loop();
}
