// websrv: serves one directory over HTTP/1.1 behind Basic authentication.
// It runs until it is stopped; --help tells more.
#include "app/command_line.h"
#include "app/config_check.h"
#include "app/main.h"
#include "app/share.h"

#include <cstdio>

namespace {

int share(const char* argv0, const command_line& options) {
    param_map params;
    std::string error;
    if (!share_config(options, &params, &error)) {
        fprintf(stderr, "%s: %s\n", argv0, error.c_str());
        return 2;
    }
    if (!start_sharing(argv0, params, options.log_file)) return 1;
    fputs(share_banner(params).c_str(), stderr);
    run_main_loop();
}

}  // namespace

int main(int argc, char** argv) {
    command_line options;
    int status = answer_arguments(argc, argv, &options);
    if (status >= 0) return status;
    // argv[0] names the log and the default root; an exec without it gets a plain name.
    const char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "websrv";
    // A file named with -c takes the modern defaults; the file beside the
    // executable is read as it always was.
    const config_form form = options.config_named ? config_form::modern : config_form::bare;
    if (options.check) return check_config(options.config_file, argv0, form);
    if (!options.share_dir.empty()) return share(argv0, options);
    if (!start_up(argv0, options.config_file, form)) return 1;
    run_main_loop();
}
