// The value type codes getFeedback takes: which C type a feedback's value is stored as. They
// never go on the wire.
#pragma once

constexpr int kValueInt = 1;
constexpr int kValueFloat = 2;
constexpr int kValueText = 3;
