#pragma once
// Sets a flag for the life of a block and puts its earlier value back however
// the block is left.

namespace kivo {

class TFlagRestore {
public:
    TFlagRestore(bool& flag, bool value) : Flag(flag), Saved(flag) { Flag = value; }
    ~TFlagRestore() { Flag = Saved; }
    TFlagRestore(const TFlagRestore&) = delete;
    TFlagRestore& operator=(const TFlagRestore&) = delete;

private:
    bool& Flag;
    bool Saved;
};

} // namespace kivo
