#pragma once

#include <QString>

#include <functional>

// What the update engine asks of whoever shows it. The engine decides every
// text; the view only shows it (as plain text: file names come from the
// network) and reports the player's answer. Nothing waits for the answer:
// Ask shows the box and returns, and the view calls the answer back once,
// when the box is closed (OK: true), from its own thread's event loop. The
// engine poses one box at a time, and drops an answer that comes after its
// run was shut down.
class IUpdatePrompts {
public:
    struct Box {
        enum class Owner {
            None,         // a box of its own, not tied to the window
            Application,  // captioned with the program's title
            Window,       // owned by the launcher window
        };
        Owner eOwner = Owner::Window;
        bool bQuestion = false;  // OK and Cancel; otherwise OK alone
        QString caption;         // empty for Owner::Application: the program's title
        QString text;
        QString name;            // which box this is, for scripts and tests
    };
    using Answer = std::function<void(bool bOk)>;

    virtual void Ask(const Box& box, Answer answer) = 0;

protected:
    ~IUpdatePrompts() = default;
};
