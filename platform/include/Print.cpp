#include "Print.h"

#include <cmath>

size_t Print::write(const uint8_t* buffer, size_t size) {
    size_t n = 0;
    while (size--) {
        if (write(*buffer++)) ++n;
        else break;
    }
    return n;
}

size_t Print::write(const char* str) {
    if (str == nullptr) return 0;
    size_t len = 0;
    while (str[len] != '\0') ++len;
    return write(reinterpret_cast<const uint8_t*>(str), len);
}

size_t Print::print(const char str[]) { return write(str); }
size_t Print::print(char c) { return write(static_cast<uint8_t>(c)); }
size_t Print::print(unsigned char n, int base) { return print(static_cast<unsigned long>(n), base); }
size_t Print::print(int n, int base) { return printSigned(static_cast<int32_t>(n), base); }
size_t Print::print(unsigned int n, int base) { return print(static_cast<unsigned long>(n), base); }
size_t Print::print(long n, int base) { return printSigned(static_cast<int32_t>(n), base); }

size_t Print::print(unsigned long n, int base) {
    if (base == 0) return write(static_cast<uint8_t>(n));
    return printNumber(static_cast<uint32_t>(n), static_cast<uint8_t>(base));
}

size_t Print::print(double n, int digits) {
    return printFloat(n, static_cast<uint8_t>(digits < 0 ? 0 : digits));
}

size_t Print::println() { return write("\r\n"); }
size_t Print::println(const char c[]) { size_t n = print(c); return n + println(); }
size_t Print::println(char c) { size_t n = print(c); return n + println(); }
size_t Print::println(unsigned char b, int base) { size_t n = print(b, base); return n + println(); }
size_t Print::println(int num, int base) { size_t n = print(num, base); return n + println(); }
size_t Print::println(unsigned int num, int base) { size_t n = print(num, base); return n + println(); }
size_t Print::println(long num, int base) { size_t n = print(num, base); return n + println(); }
size_t Print::println(unsigned long num, int base) { size_t n = print(num, base); return n + println(); }
size_t Print::println(double num, int digits) { size_t n = print(num, digits); return n + println(); }

size_t Print::printSigned(int32_t n, int base) {
    if (base == 0) return write(static_cast<uint8_t>(n));
    if (base == 10 && n < 0) {
        size_t t = print('-');
        return t + printNumber(0u - static_cast<uint32_t>(n), 10);
    }
    return printNumber(static_cast<uint32_t>(n), static_cast<uint8_t>(base));
}

size_t Print::printNumber(uint32_t n, uint8_t base) {
    char buf[8 * sizeof(uint32_t) + 1];
    char* str = &buf[sizeof(buf) - 1];
    *str = '\0';
    if (base < 2) base = 10;
    do {
        const uint32_t m = n;
        n /= base;
        const char c = static_cast<char>(m - base * n);
        *--str = static_cast<char>(c < 10 ? c + '0' : c + 'A' - 10);
    } while (n);
    return write(str);
}

// Rounds by adding half a unit of the last printed decimal, then prints the
// integer part and the decimals digit by digit.
size_t Print::printFloat(double number, uint8_t digits) {
    if (std::isnan(number)) return print("nan");
    if (std::isinf(number)) return print("inf");
    if (number > 4294967040.0) return print("ovf");
    if (number < -4294967040.0) return print("ovf");

    size_t n = 0;
    if (number < 0.0) {
        n += print('-');
        number = -number;
    }
    double rounding = 0.5;
    for (uint8_t i = 0; i < digits; ++i) rounding /= 10.0;
    number += rounding;

    const uint32_t int_part = static_cast<uint32_t>(number);
    double remainder = number - static_cast<double>(int_part);
    n += print(static_cast<unsigned long>(int_part));
    if (digits > 0) n += print(".");
    while (digits-- > 0) {
        remainder *= 10.0;
        const unsigned int to_print = static_cast<unsigned int>(remainder);
        n += print(to_print);
        remainder -= to_print;
    }
    return n;
}
