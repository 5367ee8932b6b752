// Product-like code that a C++ runtime check must catch: a std:: container
// (compiled without exceptions and RTTI, as product code is, but with the
// C++ library's headers). External linkage keeps the vector's growth out of
// line, as a member of std::vector<int>.
#include <vector>

void append(std::vector<int> &values, int value);

void append(std::vector<int> &values, int value)
{
    values.push_back(value);
}

int main(int argc, char **)
{
    std::vector<int> values;
    for (int i = 0; i < argc; i++)
        append(values, i);
    return static_cast<int>(values.size());
}
