// Parameter records (own value, link, differentiable value) and the flattening and differentiable
// helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "network/parameters.hpp"
#include "tape_support.hpp"

namespace {

using cd = std::complex<double>;

std::vector<double> flat(double v) { return {v}; }
std::vector<double> flat(const cd& v) { return {v.real(), v.imag()}; }
std::vector<double> flat(const Eigen::VectorXcd& v) {
    std::vector<double> out;
    for (Eigen::Index k = 0; k < v.size(); ++k) out.insert(out.end(), {v[k].real(), v[k].imag()});
    return out;
}
std::vector<double> flat(const Eigen::MatrixXcd& m) {
    std::vector<double> out;
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j) out.insert(out.end(), {m(i, j).real(), m(i, j).imag()});
    return out;
}

double value_of(const AD& a) { return CppAD::Value(CppAD::Var2Par(a)); }
std::vector<double> flat_ad(const AD& a) { return {value_of(a)}; }
std::vector<double> flat_ad(const ADComplex& a) { return {value_of(a.real()), value_of(a.imag())}; }
std::vector<double> flat_ad(const ADComplexVector& v) {
    std::vector<double> out;
    for (Eigen::Index k = 0; k < v.size(); ++k) out.insert(out.end(), {value_of(v[k].real()), value_of(v[k].imag())});
    return out;
}
std::vector<double> flat_ad(const ADComplexMatrix& m) {
    std::vector<double> out;
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j)
            out.insert(out.end(), {value_of(m(i, j).real()), value_of(m(i, j).imag())});
    return out;
}

Eigen::VectorXcd vec(std::initializer_list<cd> entries) {
    Eigen::VectorXcd v(static_cast<Eigen::Index>(entries.size()));
    Eigen::Index k = 0;
    for (const cd& e : entries) v[k++] = e;
    return v;
}

// A 2x3 matrix whose entries all differ, so that a row/column mix-up shows.
Eigen::MatrixXcd matrix23(double base) {
    Eigen::MatrixXcd m(2, 3);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) m(i, j) = cd(base + 10 * i + j, -(base + 10 * i + j) - 0.5);
    return m;
}

struct ComplexKind {
    using Record = ComplexParameter;
    static cd first() { return {3.0, 4.0}; }
    static cd second() { return {-1.5, 2.5}; }
    static constexpr int doubles = 2;
};
struct RealKind {
    using Record = RealParameter;
    static double first() { return 7.25; }
    static double second() { return -0.5; }
    static constexpr int doubles = 1;
};
struct VectorKind {
    using Record = ComplexVectorParameter;
    static Eigen::VectorXcd first() { return vec({{1, 2}, {3, 4}, {5, 6}}); }
    static Eigen::VectorXcd second() { return vec({{-1, 0.5}, {0, -2}, {8, 9}}); }
    static constexpr int doubles = 6;
};
struct MatrixKind {
    using Record = ComplexMatrixParameter;
    static Eigen::MatrixXcd first() { return matrix23(1.0); }
    static Eigen::MatrixXcd second() { return matrix23(50.0); }
    static constexpr int doubles = 12;
};

// A solver's pair of vectors: plain values and differentiable constants, with distinct entries
// so that every offset can be told apart.
struct SolverVectors {
    ADVector d;
    VectorXd values;
    explicit SolverVectors(int size, double base) : d(static_cast<std::size_t>(size)), values(size) {
        for (int k = 0; k < size; ++k) {
            values[k] = base + k;
            d[static_cast<std::size_t>(k)] = AD(10 * base + k);
        }
    }
    std::vector<double> slice(int from, int count) const {
        return std::vector<double>(values.data() + from, values.data() + from + count);
    }
    std::vector<double> ad_slice(int from, int count) const {
        std::vector<double> out;
        for (int k = from; k < from + count; ++k) out.push_back(value_of(d[static_cast<std::size_t>(k)]));
        return out;
    }
};

template <class Kind>
class RecordKinds : public ::testing::Test {};
using Kinds = ::testing::Types<ComplexKind, RealKind, VectorKind, MatrixKind>;
TYPED_TEST_SUITE(RecordKinds, Kinds);

std::vector<double> collected(const ComplexParameter& r) { std::vector<double> v; r.collect(v); return v; }
std::vector<double> collected(const RealParameter& r) { std::vector<double> v; r.collect(v); return v; }
std::vector<double> collected(const ComplexVectorParameter& r) { std::vector<double> v; r.collect(v); return v; }
std::vector<double> collected(const ComplexMatrixParameter& r) { std::vector<double> v; r.collect(v); return v; }

constexpr int kOffset = 6;
constexpr int kTail = 3;

TYPED_TEST(RecordKinds, UnboundRecordReadsAndWritesItsOwnValue) {
    using K = TypeParam;
    typename K::Record r(K::first());
    EXPECT_FALSE(r.linked);
    EXPECT_EQ(r.linked_value, nullptr);
    EXPECT_EQ(flat(r.get_value()), flat(K::first()));
    EXPECT_EQ(collected(r), flat(K::first()));

    r.set_value(K::second());
    EXPECT_FALSE(r.linked);
    EXPECT_EQ(flat(r.get_value()), flat(K::second()));
    EXPECT_EQ(collected(r), flat(K::second()));
}

TYPED_TEST(RecordKinds, BindingTakesItsEntriesAtTheOffset) {
    using K = TypeParam;
    typename K::Record r(K::first());
    SolverVectors s(kOffset + K::doubles + kTail, 100.0);
    int index = kOffset;
    r.bind(s.d, s.values, index);

    EXPECT_EQ(index, kOffset + K::doubles);
    EXPECT_TRUE(r.linked);
    EXPECT_EQ(r.linked_value, s.values.data() + kOffset);
    EXPECT_EQ(flat_ad(r.ad), s.ad_slice(kOffset, K::doubles));
    EXPECT_EQ(flat(r.get_value()), s.slice(kOffset, K::doubles));
    // Collection still reads the own value.
    EXPECT_EQ(collected(r), flat(K::first()));
}

TYPED_TEST(RecordKinds, LinkedReadsFollowTheSolverAndWritesGoThrough) {
    using K = TypeParam;
    typename K::Record r(K::first());
    SolverVectors s(kOffset + K::doubles + kTail, 100.0);
    int index = kOffset;
    r.bind(s.d, s.values, index);
    const std::vector<double> ad_before = flat_ad(r.ad);

    for (int k = 0; k < K::doubles; ++k) s.values[kOffset + k] = -3.0 * k - 1.0;
    EXPECT_EQ(flat(r.get_value()), s.slice(kOffset, K::doubles));
    EXPECT_EQ(collected(r), flat(K::first()));

    r.set_value(K::second());
    EXPECT_EQ(flat(r.value), flat(K::second()));
    EXPECT_EQ(s.slice(kOffset, K::doubles), flat(K::second()));
    EXPECT_EQ(flat(r.get_value()), flat(K::second()));
    // Neighbours are untouched and the differentiable value stays as bound.
    EXPECT_EQ(s.slice(0, kOffset), SolverVectors(kOffset, 100.0).slice(0, kOffset));
    for (int k = 0; k < kTail; ++k) EXPECT_EQ(s.values[kOffset + K::doubles + k], 100.0 + kOffset + K::doubles + k);
    EXPECT_EQ(flat_ad(r.ad), ad_before);
}

TYPED_TEST(RecordKinds, BindingAgainFollowsTheLaterSolverOnly) {
    using K = TypeParam;
    typename K::Record r(K::first());
    SolverVectors first(K::doubles, 100.0);
    SolverVectors second(K::doubles, 200.0);
    int index = 0;
    r.bind(first.d, first.values, index);
    index = 0;
    r.bind(second.d, second.values, index);

    EXPECT_EQ(flat(r.get_value()), second.slice(0, K::doubles));
    EXPECT_EQ(flat_ad(r.ad), second.ad_slice(0, K::doubles));
    r.set_value(K::second());
    EXPECT_EQ(second.slice(0, K::doubles), flat(K::second()));
    EXPECT_EQ(first.slice(0, K::doubles), SolverVectors(K::doubles, 100.0).slice(0, K::doubles));
}

TYPED_TEST(RecordKinds, BindingEmptyVectorsUnlinks) {
    using K = TypeParam;
    typename K::Record r(K::first());
    SolverVectors s(K::doubles, 100.0);
    int index = 0;
    r.bind(s.d, s.values, index);

    ADVector none;
    VectorXd empty;
    index = 4;
    r.bind(none, empty, index);
    EXPECT_EQ(index, 4 + K::doubles);
    EXPECT_FALSE(r.linked);
    EXPECT_EQ(r.linked_value, nullptr);
    EXPECT_EQ(flat(r.get_value()), flat(K::first()));
    r.set_value(K::second());
    EXPECT_EQ(flat(r.get_value()), flat(K::second()));
    EXPECT_EQ(s.slice(0, K::doubles), SolverVectors(K::doubles, 100.0).slice(0, K::doubles));
}

TEST(ComplexParameterRecord, BoundAtSixReadsPositionsSixAndSeven) {
    ComplexParameter r(cd(3, 4));
    SolverVectors s(10, 0.0);
    int index = 6;
    r.bind(s.d, s.values, index);
    EXPECT_EQ(index, 8);
    EXPECT_EQ(r.get_value(), cd(6, 7));
}

TEST(ComplexMatrixParameterRecord, EntriesAreRowMajorPairsAndShapeIsKept) {
    ComplexMatrixParameter r(matrix23(1.0));
    SolverVectors s(12, 1.0);  // values 1 + k, differentiable entries 10 + k
    int index = 0;
    r.bind(s.d, s.values, index);
    EXPECT_EQ(index, 12);
    ASSERT_EQ(r.ad.rows(), 2);
    ASSERT_EQ(r.ad.cols(), 3);
    // Entry (1, 0) is pair number 1 * 3 + 0: positions 6 and 7.
    EXPECT_EQ(r.get_value()(1, 0), cd(7, 8));
    EXPECT_EQ(flat_ad(r.ad(1, 0)), (std::vector<double>{16, 17}));
    EXPECT_EQ(r.get_value()(0, 2), cd(5, 6));
    EXPECT_EQ(flat_ad(r.ad(0, 2)), (std::vector<double>{14, 15}));
    const Eigen::MatrixXcd read = r.get_value();
    EXPECT_EQ(read.rows(), 2);
    EXPECT_EQ(read.cols(), 3);
}

TEST(ComplexVectorParameterRecord, EntryReadsFollowTheLink) {
    ComplexVectorParameter r(vec({{1, 2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(r.get_entry(2), cd(5, 6));
    SolverVectors s(8, 0.0);
    int index = 2;
    r.bind(s.d, s.values, index);
    EXPECT_EQ(r.get_entry(0), cd(2, 3));
    EXPECT_EQ(r.get_entry(2), cd(6, 7));
}

TEST(ShapedRecords, UnlinkedWriteTakesTheNewShape) {
    ComplexVectorParameter v(vec({{1, 0}}));
    v.set_value(vec({{1, 1}, {2, 2}, {3, 3}}));
    EXPECT_EQ(collected(v), (std::vector<double>{1, 1, 2, 2, 3, 3}));
    int index = 0;
    SolverVectors s(6, 0.0);
    v.bind(s.d, s.values, index);
    EXPECT_EQ(index, 6);

    ComplexMatrixParameter m(Eigen::MatrixXcd::Zero(1, 1));
    m.set_value(matrix23(1.0));
    EXPECT_EQ(collected(m), flat(matrix23(1.0)));
    index = 0;
    SolverVectors t(12, 0.0);
    m.bind(t.d, t.values, index);
    EXPECT_EQ(index, 12);
    EXPECT_EQ(m.ad.rows(), 2);
}

TEST(ShapedRecords, EmptyRecordBindsAtTheEndOfTheVector) {
    ComplexVectorParameter v{Eigen::VectorXcd(0)};
    ComplexMatrixParameter m{Eigen::MatrixXcd(0, 2)};
    SolverVectors s(2, 1.0);
    int index = 2;
    v.bind(s.d, s.values, index);
    m.bind(s.d, s.values, index);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(v.get_value().size(), 0);
    EXPECT_EQ(m.get_value().rows(), 0);
    EXPECT_EQ(m.get_value().cols(), 2);
    std::vector<double> values;
    v.collect(values);
    m.collect(values);
    EXPECT_TRUE(values.empty());
}

TEST(Flattening, MatrixToRealVectorIsRowByRow) {
    Eigen::MatrixXcd m(2, 2);
    m << cd(1, 2), cd(3, 4), cd(5, 6), cd(7, 8);
    EXPECT_EQ(matrix_to_real_vector(m), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(matrix_to_real_vector(matrix23(1.0)), flat(matrix23(1.0)));
    EXPECT_TRUE(matrix_to_real_vector(Eigen::MatrixXcd(0, 3)).empty());
    EXPECT_TRUE(matrix_to_real_vector(Eigen::MatrixXcd(3, 0)).empty());
}

TEST(Flattening, ArrayToRealVectorKeepsOrder) {
    const cd data[3] = {{1, -1}, {0, 2}, {-3.5, 0}};
    EXPECT_EQ(array_to_real_vector(data, 3), (std::vector<double>{1, -1, 0, 2, -3.5, 0}));
    EXPECT_EQ(array_to_real_vector(data, 1), (std::vector<double>{1, -1}));
    EXPECT_TRUE(array_to_real_vector(nullptr, 0).empty());
}

// The helpers are recorded on a tape and evaluated there, at several points of one recording.
struct InverseCase {
    double k;
    cd z;
    cd expected;
};

TEST(ComplexInverseScaled, EvaluatesToKOverZ) {
    const InverseCase cases[] = {
        {1.0, {3, 4}, {0.12, -0.16}},
        {1.0, {1, 0}, {1, 0}},
        {1.0, {0, 1}, {0, -1}},
        {1.0, {2, -2}, {0.25, 0.25}},
        {2.5, {-4, 3}, {-0.4, -0.3}},
    };
    for (const InverseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "k=" << c.k << " z=" << c.z);
        // Over constants.
        const ADComplex direct = complex_inverse_scaled(c.k, ADComplex(AD(c.z.real()), AD(c.z.imag())));
        EXPECT_NEAR(value_of(direct.real()), c.expected.real(), 1e-15);
        EXPECT_NEAR(value_of(direct.imag()), c.expected.imag(), 1e-15);

        // Recorded at another point, then evaluated at z.
        const std::vector<double> out = evaluate_on_tape(
            {0.3, -0.7},
            [&](const ADVector& x) {
                const ADComplex r = complex_inverse_scaled(c.k, ADComplex(x[0], x[1]));
                return ADVector{r.real(), r.imag()};
            },
            {c.z.real(), c.z.imag()});
        EXPECT_NEAR(out[0], c.expected.real(), 1e-15);
        EXPECT_NEAR(out[1], c.expected.imag(), 1e-15);
    }
}

TEST(ComplexInverseScaled, ZeroGivesNonFiniteValues) {
    const ADComplex r = complex_inverse_scaled(1.0, ad_zero());
    EXPECT_FALSE(std::isfinite(value_of(r.real())));
}

TEST(SoftPositivePart, EvaluatesToSmoothMaximum) {
    struct Case {
        double x;
        double k;
        double expected;
    };
    const Case cases[] = {
        {0.0, 1.0, std::log(2.0)},
        {0.0, 4.0, std::log(2.0) / 4.0},
        {10.0, 10.0, 10.0 + std::log1p(std::exp(-100.0)) / 10.0},
        {-3.0, 2.0, std::log1p(std::exp(-6.0)) / 2.0},
        {2.0, 0.5, 2.0 + std::log1p(std::exp(-1.0)) / 0.5},
        {-50.0, 3.0, std::log1p(std::exp(-150.0)) / 3.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "x=" << c.x << " k=" << c.k);
        EXPECT_DOUBLE_EQ(value_of(soft_positive_part(AD(c.x), c.k)), c.expected);

        // One recording with a positive x serves negative points too (|x| is recorded).
        const double out = evaluate_on_tape(
            {1.0}, [&](const ADVector& x) { return ADVector{soft_positive_part(x[0], c.k)}; }, {c.x})[0];
        EXPECT_DOUBLE_EQ(out, c.expected);
        EXPECT_GE(out, std::max(c.x, 0.0));
        EXPECT_LE(out - std::max(c.x, 0.0), std::log(2.0) / c.k + 1e-15);
    }
}

}  // namespace
