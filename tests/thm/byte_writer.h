// Little-endian byte assembly for hand-made .thm buffers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace thmtest {

class Bytes {
public:
    Bytes& u8(std::uint8_t v) {
        data_.push_back(v);
        return *this;
    }
    Bytes& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) data_.push_back(std::uint8_t(v >> (8 * i)));
        return *this;
    }
    Bytes& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    Bytes& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
    Bytes& vec3(float x, float y, float z) { return f32(x).f32(y).f32(z); }
    Bytes& str(std::string_view s) {
        put(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
        return u8(0);
    }
    Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
        put(bytes.begin(), bytes.size());
        return *this;
    }
    Bytes& append(std::span<const std::uint8_t> bytes) {
        put(bytes.data(), bytes.size());
        return *this;
    }
    Bytes& append(const Bytes& other) {
        const std::size_t base = data_.size();
        for (const auto& [name, at] : other.marks_) marks_[name] = base + at;
        return append(other.data_);
    }
    // Names the current offset, so tests can patch or expect it later.
    Bytes& mark(const std::string& name) {
        marks_[name] = data_.size();
        return *this;
    }

    std::size_t at(const std::string& name) const {
        auto it = marks_.find(name);
        if (it == marks_.end()) throw std::out_of_range("no mark " + name);
        return it->second;
    }
    std::size_t size() const { return data_.size(); }
    const std::vector<std::uint8_t>& data() const { return data_; }
    operator std::span<const std::uint8_t>() const { return data_; }

    // Overwrite in place, for corrupting a valid buffer.
    Bytes& put_u32(std::size_t offset, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) data_.at(offset + i) = std::uint8_t(v >> (8 * i));
        return *this;
    }
    Bytes& put_i32(std::size_t offset, std::int32_t v) { return put_u32(offset, static_cast<std::uint32_t>(v)); }
    Bytes& put_f32(std::size_t offset, float v) { return put_u32(offset, std::bit_cast<std::uint32_t>(v)); }
    Bytes& put_u8(std::size_t offset, std::uint8_t v) {
        data_.at(offset) = v;
        return *this;
    }

private:
    // resize + memcpy: vector::insert of short runs trips a false -Wstringop-overflow in g++ 12.
    void put(const std::uint8_t* p, std::size_t n) {
        const std::size_t old = data_.size();
        data_.resize(old + n);
        if (n != 0) std::memcpy(data_.data() + old, p, n);
    }

    std::vector<std::uint8_t> data_;
    std::map<std::string, std::size_t> marks_;
};

}  // namespace thmtest
