// A QR code of a short text, drawn for a terminal: two rows of modules to a
// line of half blocks, dark on light, with the quiet zone around it that
// readers need. Made by libqrencode.
#pragma once

#include <string>

// The lines of the code; empty when no code could be made.
std::string qr_code_text(const std::string& text);
