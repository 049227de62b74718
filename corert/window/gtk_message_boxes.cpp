// The GTK window's message boxes: modal dialogs with the buttons their flags ask for.
// Input that arrives while one is open waits until it is closed; automation can answer
// it, and closing the window answers it with its default button.
#include "corert/window/gtk_window.h"

namespace corert {

namespace {

const char* button_label(int32_t button)
{
    switch (button) {
    case kButtonOk: return "确定";
    case kButtonCancel: return "取消";
    case kButtonAbort: return "中止";
    case kButtonRetry: return "重试";
    case kButtonIgnore: return "忽略";
    case kButtonYes: return "是";
    case kButtonNo: return "否";
    default: return "?";
    }
}

GtkMessageType message_type(int32_t flags)
{
    switch (flags & 0xf0) {
    case 0x10: return GTK_MESSAGE_ERROR;
    case 0x20: return GTK_MESSAGE_QUESTION;
    case 0x30: return GTK_MESSAGE_WARNING;
    case 0x40: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_OTHER;
    }
}

// A box closed from the window frame takes Cancel where it has one, as on the
// original platform, else its default button.
int32_t dismissed_answer(int32_t flags)
{
    std::vector<int32_t> buttons = box_buttons(flags);
    for (int32_t b : buttons) {
        if (b == kButtonCancel)
            return b;
    }
    return buttons.front();
}

}  // namespace

int32_t GtkWindowBackend::message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title)
{
    if (auto_answer_ || !window_)
        return box_answer(open_box_record(message, flags, title, has_title, true));
    uint32_t number = open_box_record(message, flags, title, has_title, false);
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, message_type(flags),
                                               GTK_BUTTONS_NONE, "%s", utf8(message).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), has_title ? utf8(title).c_str() : window_title_.c_str());
    std::vector<int32_t> buttons = box_buttons(flags);
    for (int32_t button : buttons)
        gtk_dialog_add_button(GTK_DIALOG(dialog), button_label(button), button);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), buttons.front());
    dialogs_.push_back({number, dialog});
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    dialogs_.pop_back();
    gtk_widget_destroy(dialog);
    close_box_record(number, response > 0 ? response : dismissed_answer(flags));
    // Events that came while the box was up were held back.
    wake_ui();
    return box_answer(number);
}

void GtkWindowBackend::box_closed_elsewhere(uint32_t number)
{
    auto* closing = new uint32_t(number);
    g_idle_add(on_box_closed_elsewhere, closing);
}

gboolean GtkWindowBackend::on_box_closed_elsewhere(gpointer data)
{
    std::unique_ptr<uint32_t> number(static_cast<uint32_t*>(data));
    if (GtkWindowBackend* self = live_) {
        for (const auto& [open, dialog] : self->dialogs_) {
            if (open == *number)
                gtk_dialog_response(GTK_DIALOG(dialog), self->box_answer(open));
        }
    }
    return G_SOURCE_REMOVE;
}

}  // namespace corert
