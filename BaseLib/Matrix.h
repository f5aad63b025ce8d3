#pragma once

#include <cstddef>
#include <type_traits>

namespace orb {

// Fixed-size row-major matrix for per-pixel geometry. It is nothing but its
// elements, so it can alias other float arrays (see mapMatrix) and never allocates.
template <typename T, std::size_t Rows, std::size_t Cols>
class Matrix {
public:
    // Elements are left uninitialised: these live in inner loops.
    Matrix() = default;

    // One value per element, row-major: (x, y, z) for a 3-vector, nine values for a 3x3.
    template <typename... Args,
              typename = std::enable_if_t<(Rows * Cols > 1) && sizeof...(Args) == Rows * Cols &&
                                          (std::is_arithmetic_v<Args> && ...)>>
    Matrix(Args... args) : elements{static_cast<T>(args)...}
    {
    }

    // Copies Rows * Cols values from p, row-major.
    explicit Matrix(const T* p)
    {
        for (std::size_t i = 0; i < Rows * Cols; ++i)
            elements[i] = p[i];
    }

    T& operator()(std::size_t r, std::size_t c) { return elements[r * Cols + c]; }
    const T& operator()(std::size_t r, std::size_t c) const { return elements[r * Cols + c]; }

    template <std::size_t C = Cols, typename = std::enable_if_t<C == 1>>
    T& operator[](std::size_t i)
    {
        return elements[i];
    }
    template <std::size_t C = Cols, typename = std::enable_if_t<C == 1>>
    const T& operator[](std::size_t i) const
    {
        return elements[i];
    }

    T* data() { return elements; }
    const T* data() const { return elements; }

private:
    T elements[Rows * Cols];
};

// Views over existing arrays (a cv::Matx's val, a float buffer), without copying.
template <std::size_t Rows, std::size_t Cols, typename T>
inline Matrix<T, Rows, Cols>& mapMatrix(T* p)
{
    static_assert(sizeof(Matrix<T, Rows, Cols>) == Rows * Cols * sizeof(T), "Matrix must be bare");
    static_assert(std::is_standard_layout_v<Matrix<T, Rows, Cols>>, "Matrix must be bare");
    return *reinterpret_cast<Matrix<T, Rows, Cols>*>(p);
}

template <std::size_t Rows, std::size_t Cols, typename T>
inline const Matrix<T, Rows, Cols>& mapMatrix(const T* p)
{
    static_assert(sizeof(Matrix<T, Rows, Cols>) == Rows * Cols * sizeof(T), "Matrix must be bare");
    static_assert(std::is_standard_layout_v<Matrix<T, Rows, Cols>>, "Matrix must be bare");
    return *reinterpret_cast<const Matrix<T, Rows, Cols>*>(p);
}

// ---- Free operations ----
// Products accumulate in the element type, in index order: the remap maps depend
// on this rounding.

template <typename T, typename U, std::size_t Rows, std::size_t Cols>
inline Matrix<decltype(T() + U()), Rows, Cols> operator+(const Matrix<T, Rows, Cols>& a,
                                                         const Matrix<U, Rows, Cols>& b)
{
    Matrix<decltype(T() + U()), Rows, Cols> result;
    for (std::size_t r = 0; r < Rows; ++r)
        for (std::size_t c = 0; c < Cols; ++c)
            result(r, c) = a(r, c) + b(r, c);
    return result;
}

template <typename T, typename U, std::size_t Rows, std::size_t Cols>
inline Matrix<decltype(T() - U()), Rows, Cols> operator-(const Matrix<T, Rows, Cols>& a,
                                                         const Matrix<U, Rows, Cols>& b)
{
    Matrix<decltype(T() - U()), Rows, Cols> result;
    for (std::size_t r = 0; r < Rows; ++r)
        for (std::size_t c = 0; c < Cols; ++c)
            result(r, c) = a(r, c) - b(r, c);
    return result;
}

template <typename T, typename S, std::size_t Rows, std::size_t Cols,
          typename = std::enable_if_t<std::is_arithmetic_v<S>>>
inline Matrix<decltype(T() * S()), Rows, Cols> operator*(const Matrix<T, Rows, Cols>& a, S s)
{
    Matrix<decltype(T() * S()), Rows, Cols> result;
    for (std::size_t r = 0; r < Rows; ++r)
        for (std::size_t c = 0; c < Cols; ++c)
            result(r, c) = a(r, c) * s;
    return result;
}

template <typename T, typename U, std::size_t Rows, std::size_t Inner, std::size_t Cols>
inline Matrix<decltype(T() * U()), Rows, Cols> operator*(const Matrix<T, Rows, Inner>& a,
                                                         const Matrix<U, Inner, Cols>& b)
{
    using R = decltype(T() * U());
    Matrix<R, Rows, Cols> result;
    for (std::size_t i = 0; i < Rows; ++i) {
        for (std::size_t j = 0; j < Cols; ++j) {
            R sum = a(i, 0) * b(0, j);
            for (std::size_t k = 1; k < Inner; ++k)
                sum += a(i, k) * b(k, j);
            result(i, j) = sum;
        }
    }
    return result;
}

template <typename T, typename U>
inline Matrix<decltype(T() * U()), 3, 1> cross(const Matrix<T, 3, 1>& a, const Matrix<U, 3, 1>& b)
{
    return Matrix<decltype(T() * U()), 3, 1>(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                             a[0] * b[1] - a[1] * b[0]);
}

// 3x3 whose columns are c0, c1, c2.
template <typename T>
inline Matrix<T, 3, 3> hcat(Matrix<T, 3, 1> c0, Matrix<T, 3, 1> c1, Matrix<T, 3, 1> c2)
{
    Matrix<T, 3, 3> result;
    for (std::size_t r = 0; r < 3; ++r) {
        result(r, 0) = c0[r];
        result(r, 1) = c1[r];
        result(r, 2) = c2[r];
    }
    return result;
}

template <typename T, std::size_t Rows, std::size_t Cols>
inline Matrix<T, Cols, Rows> transpose(const Matrix<T, Rows, Cols>& a)
{
    Matrix<T, Cols, Rows> result;
    for (std::size_t r = 0; r < Rows; ++r)
        for (std::size_t c = 0; c < Cols; ++c)
            result(c, r) = a(r, c);
    return result;
}

} // namespace orb
