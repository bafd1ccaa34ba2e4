// MatrixMarket export of the Jacobian and the residuals.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "../../benchmarks/feeder.hpp"
#include "solver_test_support.hpp"

namespace {
namespace fs = std::filesystem;
using feeder::Complex;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A source of 1 V feeding an admittance of 2 + 0.5j: variables are the phase node (real,
// imaginary) and the source current; at the start (1 V, no current) the residuals are the load
// current 2 + 0.5j and a met source equation.
struct AdmittanceCircuit {
    Complex u[1] = {1.0};
    Complex start[2] = {1.0, 0.0};
    Complex y[1] = {Complex(2.0, 0.5)};
    Bus bus{2, start};
    VoltageSource source{2, u};
    PotentialRef ref;
    AdmittanceLoad load{2, y};
    std::unique_ptr<ElectricalNetwork> network;
    AdmittanceCircuit() {
        for (int k = 0; k < 2; ++k) {
            feeder::join(bus.ports[k], source.ports[k]);
            feeder::join(bus.ports[k], load.ports[k]);
        }
        feeder::join(ref.ports[0], bus.ports[1]);
        network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&bus, &source, &ref, &load});
    }
};

const char* const expected_jacobian =
    "%%MatrixMarket matrix coordinate  real general\n"
    "4 4 8\n"
    "1 1 2.00000000000000000e+00\n"
    "2 1 5.00000000000000000e-01\n"
    "3 1 1.00000000000000000e+00\n"
    "1 2 -5.00000000000000000e-01\n"
    "2 2 2.00000000000000000e+00\n"
    "4 2 1.00000000000000000e+00\n"
    "1 3 1.00000000000000000e+00\n"
    "2 4 1.00000000000000000e+00\n";

const char* const expected_residuals =
    "%%MatrixMarket matrix array real general\n"
    "4 1\n"
    "2.00000000000000000e+00\n"
    "5.00000000000000000e-01\n"
    "0.00000000000000000e+00\n"
    "0.00000000000000000e+00\n";

class SaveMatrix : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        char name[] = "/tmp/save_matrix_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }

    // The message of the export error, or "" when save_matrix succeeds.
    static std::string failure(AbstractNewton& solver, const std::string& prefix) {
        try {
            solver.save_matrix(prefix);
        } catch (const std::ios_base::failure& e) {
            EXPECT_NE(dynamic_cast<const MatrixExportError*>(&e), nullptr);
            return e.what();
        }
        return "";
    }
};

TEST_F(SaveMatrix, WritesBothFilesByteForByte) {
    AdmittanceCircuit c;
    Newton newton(c.network.get(), false);
    const std::string prefix = (dir / "jac").string();
    // An existing, longer file is truncated.
    std::ofstream(prefix + ".mtx") << std::string(4096, 'x');
    EXPECT_EQ(failure(newton, prefix), "");
    EXPECT_EQ(read_file(prefix + ".mtx"), expected_jacobian);
    EXPECT_EQ(read_file(prefix + "_b.mtx"), expected_residuals);
}

TEST_F(SaveMatrix, UsesTheParametersOfTheLastSolve) {
    AdmittanceCircuit c;
    Newton newton(c.network.get(), false);
    const Complex other[1] = {Complex(8.0, 1.0)};
    c.load.update_admittances(other);
    const std::string prefix = (dir / "before").string();
    ASSERT_EQ(failure(newton, prefix), "");
    EXPECT_EQ(read_file(prefix + ".mtx"), expected_jacobian);
}

TEST_F(SaveMatrix, FeederFileShapes) {
    feeder::Options o;
    o.buses = 6;
    auto f = feeder::build(o);
    Newton newton(f->network.get(), true);
    newton.solve_load_flow(20, 1e-9);
    const std::string prefix = (dir / "feeder").string();
    ASSERT_EQ(failure(newton, prefix), "");
    const std::string n = std::to_string(newton.variables.size());
    std::istringstream jac(read_file(prefix + ".mtx"));
    std::string header, shape;
    std::getline(jac, header);
    std::getline(jac, shape);
    EXPECT_EQ(shape, n + " " + n + " " + std::to_string(newton.compute_jacobian().nonZeros()));
    std::istringstream res(read_file(prefix + "_b.mtx"));
    std::getline(res, header);
    std::getline(res, shape);
    EXPECT_EQ(shape, n + " 1");
}

TEST_F(SaveMatrix, ReportsTheFilesItCannotWrite) {
    AdmittanceCircuit c;
    Newton newton(c.network.get(), false);
    // A directory where the Jacobian file should be: only the residual file is written.
    const std::string blocked = (dir / "blocked").string();
    fs::create_directory(blocked + ".mtx");
    EXPECT_EQ(failure(newton, blocked), "Cannot write '" + blocked + ".mtx'");
    EXPECT_EQ(read_file(blocked + "_b.mtx"), expected_residuals);

    // A full disk behind the residual file: the Jacobian file is still written.
    const std::string full = (dir / "full").string();
    fs::create_symlink("/dev/full", full + "_b.mtx");
    EXPECT_EQ(failure(newton, full), "Cannot write '" + full + "_b.mtx'");
    EXPECT_EQ(read_file(full + ".mtx"), expected_jacobian);

    const std::string missing = (dir / "no" / "such").string();
    EXPECT_EQ(failure(newton, missing), "Cannot write '" + missing + ".mtx', '" + missing + "_b.mtx'");
}
}  // namespace
