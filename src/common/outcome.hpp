// The result type of a body that can reject its input: either a value or the message of a
// body error. The binding layer raises the message as ValueError, word for word.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace native_accel {

struct BodyError {
    std::string message;
};

template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(BodyError error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const std::string& error() const { return std::get<1>(state_).message; }

private:
    std::variant<T, BodyError> state_;
};

}  // namespace native_accel
