// Test support: a dialog template read from compiled resources as the
// resource compiler laid it out (the plain DLGTEMPLATE form the board's
// window system takes), for checking it field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TemplateItem {
    uint32_t style = 0;
    uint32_t ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::string cls;  // "Button", "Static", "ScrollBar", ... (atoms by name)
    std::string text;
};

struct DialogTemplate {
    uint32_t style = 0;
    uint32_t ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    int font_size = 0;
    std::string font;
    std::vector<TemplateItem> items;
};

// Parses size bytes at data; false on a truncated template or one in the
// extended form.
bool parse_dialog_template(const void *data, size_t size, DialogTemplate *out);

// The template id of the module loaded as module_name, read back through
// FindResourceW, LoadResource and SizeofResource; false when missing.
bool load_dialog_template(const char16_t *module_name, int id, DialogTemplate *out);

// Checks the caption, the size, the font (8 pt "System") and that every bit
// of style is set in the template's style.
void expect_dialog_frame(const DialogTemplate &t, const char *caption, int cx, int cy, uint32_t style);
