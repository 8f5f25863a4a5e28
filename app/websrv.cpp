// websrv: serves one directory over HTTP/1.1 behind Basic authentication.
// It takes no arguments and runs until it is killed.
#include "app/main.h"

int main(int argc, char** argv) {
    // argv[0] names the configuration and log files; an exec without it gets a plain name.
    start_up(argc > 0 && argv[0] != nullptr ? argv[0] : "websrv");
    run_main_loop();
}
