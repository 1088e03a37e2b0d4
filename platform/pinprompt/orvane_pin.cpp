// orvane-pin: the window that asks for a token's PIN on behalf of the PKCS#11
// provider (protocol in platform/csp/pkcs11/pin_prompt.h). It is a program of
// its own so that no toolkit is loaded into the hosts or the browser.
//
// Entry mode shows the token's name, a hidden entry, a line about the tries
// left, OK and Cancel; the PIN goes to standard output and nowhere else, and
// the entry's text is wiped once written. Notice mode (--pinpad) tells the
// user to use the reader's own keypad until standard input reaches its end.
#include <gtk/gtk.h>
#include <glib-unix.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

enum Exit { kEntered = 0, kCancelled = 1, kNoDisplay = 2, kFailed = 3 };

struct Texts {
    const char* prompt; // %s: the token
    const char* ok;
    const char* cancel;
    const char* wrong;
    const char* low;
    const char* final;
    const char* pinpad; // %s: the token
    const char* join;   // between the sentences of the tries line
};

const Texts kEnglish = {
    "Enter the PIN of the token “%s”:",
    "OK",
    "Cancel",
    "Wrong PIN.",
    "Few tries left.",
    "Last try: a wrong PIN locks the token.",
    "Enter the PIN of the token “%s” on the reader's keypad.",
    " ",
};

const Texts kChinese = {
    "请输入令牌“%s”的 PIN 码：",
    "确定",
    "取消",
    "PIN 码错误。",
    "剩余尝试次数不多。",
    "最后一次尝试：PIN 码再错，令牌将被锁定。",
    "请在读卡器的键盘上输入令牌“%s”的 PIN 码。",
    "",
};

constexpr char kCss[] = ".orvane-pin-tries { color: #b00000; font-weight: bold; }\n";

struct Options {
    std::string token;
    std::string tries = "unknown";
    bool retry = false;
    bool chinese = false;
    bool pinpad = false;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--token" && hasValue) {
            o.token = argv[++i];
        } else if (a == "--tries" && hasValue) {
            o.tries = argv[++i];
            if (o.tries != "unknown" && o.tries != "low" && o.tries != "final")
                return false;
        } else if (a == "--lang" && hasValue) {
            const std::string lang = argv[++i];
            if (lang != "en" && lang != "zh")
                return false;
            o.chinese = lang == "zh";
        } else if (a == "--retry") {
            o.retry = true;
        } else if (a == "--pinpad") {
            o.pinpad = true;
        } else {
            return false;
        }
    }
    return true;
}

// The prompt shows names from a token, which nobody vetted: they go into
// labels as plain text, never as markup, and are cut to a readable length.
std::string Shown(const std::string& token) {
    if (!g_utf8_validate(token.c_str(), -1, nullptr))
        return "?";
    constexpr glong kMaxChars = 64;
    if (g_utf8_strlen(token.c_str(), -1) <= kMaxChars)
        return token;
    const char* end = g_utf8_offset_to_pointer(token.c_str(), kMaxChars);
    return std::string(token.c_str(), size_t(end - token.c_str())) + "…";
}

// Format: pattern with its one "%s" replaced by token.
std::string Format(const char* pattern, const std::string& token) {
    std::string result = pattern;
    const size_t at = result.find("%s");
    if (at != std::string::npos)
        result.replace(at, 2, token);
    return result;
}

struct Prompt {
    const Texts* texts = &kEnglish;
    GtkWidget* window = nullptr;
    GtkWidget* entry = nullptr;
    GtkWidget* ok = nullptr;
    GMainLoop* loop = nullptr;
    int exitCode = kCancelled;
};

void Finish(Prompt& p, int code) {
    p.exitCode = code;
    g_main_loop_quit(p.loop);
}

// WriteAll: the whole of data to standard output, or false.
bool WriteAll(const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDOUT_FILENO, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

void OnOk(GtkWidget*, gpointer data) {
    auto& p = *static_cast<Prompt*>(data);
    GtkEntryBuffer* buffer = gtk_entry_get_buffer(GTK_ENTRY(p.entry));
    const size_t length = gtk_entry_buffer_get_bytes(buffer);
    if (length == 0)
        return; // an empty PIN would only cost a try
    // Written straight from the entry's own storage: no copy to wipe later.
    const bool written = WriteAll(gtk_entry_buffer_get_text(buffer), length) && WriteAll("\n", 1);
    // The entry's buffer clears the memory of deleted text.
    gtk_entry_buffer_delete_text(buffer, 0, -1);
    Finish(p, written ? kEntered : kFailed);
}

void OnCancel(GtkWidget*, gpointer data) {
    Finish(*static_cast<Prompt*>(data), kCancelled);
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
    Finish(*static_cast<Prompt*>(data), kCancelled);
    return TRUE;
}

gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer data) {
    if (event->keyval != GDK_KEY_Escape)
        return FALSE;
    Finish(*static_cast<Prompt*>(data), kCancelled);
    return TRUE;
}

void OnChanged(GtkEditable*, gpointer data) {
    auto& p = *static_cast<Prompt*>(data);
    gtk_widget_set_sensitive(p.ok, gtk_entry_get_text_length(GTK_ENTRY(p.entry)) > 0);
}

// The end of the provider's pipe ends a notice (its login is over).
gboolean OnInput(gint fd, GIOCondition, gpointer data) {
    char scratch[64];
    const ssize_t n = read(fd, scratch, sizeof scratch);
    if (n < 0 && errno == EINTR)
        return G_SOURCE_CONTINUE;
    if (n > 0)
        return G_SOURCE_CONTINUE;
    Finish(*static_cast<Prompt*>(data), kEntered);
    return G_SOURCE_REMOVE;
}

GtkWidget* MakeWindow(const Options& o) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(window, o.pinpad ? "orvane-pin-notice" : "orvane-pin");
    gtk_window_set_title(GTK_WINDOW(window), Shown(o.token).c_str());
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    // The browser has the focus when a signature starts; the prompt must not
    // open behind it.
    gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(window), 12);
    return window;
}

GtkWidget* MakeLabel(const std::string& text, const char* name) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_widget_set_name(label, name);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 48);
    return label;
}

std::string TriesLine(const Options& o, const Texts& t) {
    std::string line;
    if (o.retry)
        line = t.wrong;
    const char* tries = o.tries == "final" ? t.final : o.tries == "low" ? t.low : nullptr;
    if (tries != nullptr)
        line += (line.empty() ? "" : t.join) + std::string(tries);
    return line;
}

void BuildEntry(Prompt& p, const Options& o) {
    const Texts& t = *p.texts;
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_add(GTK_CONTAINER(p.window), box);
    GtkWidget* prompt = MakeLabel(Format(t.prompt, Shown(o.token)), "orvane-pin-prompt");
    gtk_box_pack_start(GTK_BOX(box), prompt, FALSE, FALSE, 0);

    p.entry = gtk_entry_new();
    gtk_widget_set_name(p.entry, "orvane-pin-entry");
    gtk_entry_set_visibility(GTK_ENTRY(p.entry), FALSE);
    gtk_entry_set_input_purpose(GTK_ENTRY(p.entry), GTK_INPUT_PURPOSE_PASSWORD);
    gtk_entry_set_activates_default(GTK_ENTRY(p.entry), TRUE);
    gtk_label_set_mnemonic_widget(GTK_LABEL(prompt), p.entry);
    gtk_box_pack_start(GTK_BOX(box), p.entry, FALSE, FALSE, 0);

    const std::string tries = TriesLine(o, t);
    if (!tries.empty()) {
        GtkWidget* line = MakeLabel(tries, "orvane-pin-tries");
        gtk_style_context_add_class(gtk_widget_get_style_context(line), "orvane-pin-tries");
        gtk_box_pack_start(GTK_BOX(box), line, FALSE, FALSE, 0);
    }

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 6);
    GtkWidget* cancel = gtk_button_new_with_label(t.cancel);
    gtk_widget_set_name(cancel, "orvane-pin-cancel");
    p.ok = gtk_button_new_with_label(t.ok);
    gtk_widget_set_name(p.ok, "orvane-pin-ok");
    gtk_container_add(GTK_CONTAINER(buttons), cancel);
    gtk_container_add(GTK_CONTAINER(buttons), p.ok);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 4);

    gtk_widget_set_can_default(p.ok, TRUE);
    gtk_window_set_default(GTK_WINDOW(p.window), p.ok);
    gtk_widget_set_sensitive(p.ok, FALSE);
    g_signal_connect(p.ok, "clicked", G_CALLBACK(OnOk), &p);
    g_signal_connect(cancel, "clicked", G_CALLBACK(OnCancel), &p);
    g_signal_connect(p.entry, "changed", G_CALLBACK(OnChanged), &p);
    g_signal_connect(p.window, "delete-event", G_CALLBACK(OnDelete), &p);
    g_signal_connect(p.window, "key-press-event", G_CALLBACK(OnKey), &p);
    gtk_widget_grab_focus(p.entry);
}

void BuildNotice(Prompt& p, const Options& o) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_container_add(GTK_CONTAINER(p.window), box);
    GtkWidget* spinner = gtk_spinner_new();
    gtk_spinner_start(GTK_SPINNER(spinner));
    gtk_box_pack_start(GTK_BOX(box), spinner, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box),
                       MakeLabel(Format(p.texts->pinpad, Shown(o.token)), "orvane-pin-notice-text"),
                       TRUE, TRUE, 0);
    gtk_window_set_deletable(GTK_WINDOW(p.window), FALSE);
    // The reader is asking, not this window: closing it only hides it.
    g_signal_connect(p.window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    g_unix_fd_add(STDIN_FILENO, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), OnInput, &p);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        fputs("orvane-pin: --token NAME [--tries unknown|low|final] [--retry] [--lang en|zh] "
              "[--pinpad]\n",
              stderr);
        return kFailed;
    }
    // GTK reads its own options from the command line; none are given to it.
    if (gtk_init_check(nullptr, nullptr) == FALSE)
        return kNoDisplay;

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    Prompt p;
    p.texts = options.chinese ? &kChinese : &kEnglish;
    p.loop = g_main_loop_new(nullptr, FALSE);
    p.window = MakeWindow(options);
    if (options.pinpad)
        BuildNotice(p, options);
    else
        BuildEntry(p, options);
    gtk_widget_show_all(p.window);
    gtk_window_present(GTK_WINDOW(p.window));
    g_main_loop_run(p.loop);
    gtk_widget_destroy(p.window);
    g_main_loop_unref(p.loop);
    return p.exitCode;
}
