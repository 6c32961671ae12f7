#pragma once

#include <QString>

// What the update engine asks of whoever shows it. The engine decides every
// text; the view only shows it (as plain text: file names come from the
// network) and reports the player's answer. Called on the engine's thread,
// and may run a nested event loop; the engine copes with being shut down
// while it waits.
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

    // Shows the box; true when the player answered OK.
    virtual bool Ask(const Box& box) = 0;

protected:
    ~IUpdatePrompts() = default;
};
