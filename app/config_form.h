// Which defaults a configuration starts from.
#pragma once

enum class config_form {
    bare,    // the file beside the executable: the specified defaults
    modern,  // -c FILE and websrv DIR: the modern defaults of the keys not set
};
