#pragma once

#include "engine/UpdatePrompts.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace testing_support {

// The player, as a script: records every box the engine shows and answers
// them in order. Each answer may act first, while its box is up. A box
// nobody expected fails the test and is answered Cancel. An answer marked
// bHold is not given: the box stays up until the test calls AnswerHeld.
class CTestPrompts final : public IUpdatePrompts {
public:
    struct Answer {
        bool bOk = true;
        std::function<void()> before;
        bool bHold = false;
    };

    void Expect(Answer answer) { m_answers.push_back(std::move(answer)); }
    const std::vector<Box>& Boxes() const { return m_boxes; }

    void Ask(const Box& box, IUpdatePrompts::Answer reply) override
    {
        m_boxes.push_back(box);
        if (m_answers.empty()) {
            ADD_FAILURE() << "unexpected box " << box.name.toStdString() << ": " << box.text.toStdString();
            reply(false);
            return;
        }
        const Answer answer = std::move(m_answers.front());
        m_answers.pop_front();
        if (answer.before)
            answer.before();
        if (answer.bHold) {
            m_held = std::move(reply);
            return;
        }
        reply(answer.bOk);
    }

    bool IsHolding() const { return bool(m_held); }
    void AnswerHeld(bool bOk)
    {
        if (auto reply = std::exchange(m_held, nullptr))
            reply(bOk);
    }

private:
    std::deque<Answer> m_answers;
    IUpdatePrompts::Answer m_held;
    std::vector<Box> m_boxes;
};

} // namespace testing_support
