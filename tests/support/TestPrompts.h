#pragma once

#include "engine/UpdatePrompts.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

namespace testing_support {

// The player, as a script: records every box the engine shows and answers
// them in order. Each answer may act first, while its box is up. A box
// nobody expected fails the test and is answered Cancel.
class CTestPrompts final : public IUpdatePrompts {
public:
    struct Answer {
        bool bOk = true;
        std::function<void()> before;
    };

    void Expect(Answer answer) { m_answers.push_back(std::move(answer)); }
    const std::vector<Box>& Boxes() const { return m_boxes; }

    bool Ask(const Box& box) override
    {
        m_boxes.push_back(box);
        if (m_answers.empty()) {
            ADD_FAILURE() << "unexpected box " << box.name.toStdString() << ": " << box.text.toStdString();
            return false;
        }
        const Answer answer = std::move(m_answers.front());
        m_answers.pop_front();
        if (answer.before)
            answer.before();
        return answer.bOk;
    }

private:
    std::deque<Answer> m_answers;
    std::vector<Box> m_boxes;
};

} // namespace testing_support
