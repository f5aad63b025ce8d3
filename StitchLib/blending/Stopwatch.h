#pragma once

#include <string>

namespace orb {

// Marks a stage of the blend. It reads no clock and prints nothing: the tool
// stays silent on success, and stage timing is done from outside (bench/).
class Stopwatch {
public:
    Stopwatch(std::string label, bool flag);
    ~Stopwatch();

    void start();
    void stop();
    void display();
};

} // namespace orb
