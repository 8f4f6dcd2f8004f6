#pragma once
// Application services for tests: boxes are recorded instead of shown,
// posted calls wait in a list until the test runs them, Ctrl and the quit
// request are plain fields. WhileBoxShown runs inside a box, where a real
// modal loop would run timers and other handlers.

#include "framework/application.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivo::test {

class TRecordingServices : public TApplicationServices {
public:
    struct TBox {
        std::string Text;
        TMessageKind Kind;
        std::thread::id Thread;
    };

    void ShowMessageBox(const std::string& text, TMessageKind kind) override
    {
        Boxes.push_back({text, kind, std::this_thread::get_id()});
        ++Depth;
        if (Depth > MaxDepth) MaxDepth = Depth;
        if (WhileBoxShown) WhileBoxShown(text);
        --Depth;
    }

    void Post(std::function<void()> call) override
    {
        std::lock_guard lock(PostedLock);
        Posted.push_back(std::move(call));
    }

    void Quit() override { ++QuitCount; }
    bool CtrlKeyDown() override { return Ctrl; }
    void Beep() override { ++Beeps; }

    // Runs posted calls, also those they post, until none is left; at most
    // limit of them, so a call that keeps posting cannot hang a test.
    int RunPosted(int limit = 1000)
    {
        int ran = 0;
        while (ran < limit) {
            std::function<void()> call;
            {
                std::lock_guard lock(PostedLock);
                if (Posted.empty()) break;
                call = std::move(Posted.front());
                Posted.pop_front();
            }
            call();
            ++ran;
        }
        return ran;
    }

    std::size_t PostedCount()
    {
        std::lock_guard lock(PostedLock);
        return Posted.size();
    }

    std::vector<std::string> BoxTexts() const
    {
        std::vector<std::string> texts;
        for (const TBox& box : Boxes) texts.push_back(box.Text);
        return texts;
    }

    std::vector<TBox> Boxes;
    std::function<void(const std::string&)> WhileBoxShown;
    int Depth = 0;
    int MaxDepth = 0;
    int QuitCount = 0;
    int Beeps = 0;
    bool Ctrl = false;

private:
    std::mutex PostedLock;
    std::deque<std::function<void()>> Posted;
};

} // namespace kivo::test
