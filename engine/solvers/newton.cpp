#include "solvers/newton.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include <Eigen/SparseLU>
#include <spdlog/spdlog.h>

#include "solvers/cppad_error_handler.hpp"

struct AbstractNewton::LinearSolver {
    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu;
};

namespace {
// Largest absolute value; NaN as soon as one entry is NaN, so that a stop at the iteration limit
// with a NaN left never reads as converged. 0 for an empty vector.
double largest_residual(const VectorXd& f) {
    double m = 0.0;
    for (Eigen::Index k = 0; k < f.size(); ++k) {
        if (std::isnan(f[k])) return f[k];
        m = std::max(m, std::abs(f[k]));
    }
    return m;
}

bool needs_step(const VectorXd& f, double tolerance) {
    const double m = largest_residual(f);
    return std::isnan(m) || m > tolerance;
}

bool finite_currents(const ElectricalNetwork& network) {
    for (const Element* e : network.elements)
        for (const Port& p : e->ports)
            if (!std::isfinite(p.current.real()) || !std::isfinite(p.current.imag())) return false;
    return true;
}

bool all_finite(const Eigen::SparseMatrix<double>& j) {
    const double* v = j.valuePtr();
    for (Eigen::Index k = 0; k < j.nonZeros(); ++k)
        if (!std::isfinite(v[k])) return false;
    return true;
}

// CppAD reallocates a tape's Taylor coefficients whenever the number of directions changes: one for
// the residuals, 30 for a group of Jacobian columns, fewer for the last group. For a large network
// these blocks are so big that the system allocator maps them afresh at every allocation and unmaps
// them at every free, so every iteration faulted in hundreds of megabytes of zeroed pages. While a
// Newton-family solver evaluates its tape, CppAD keeps the blocks freed in its pool, and the pool
// is left filled afterwards: a time series solves once or twice per step, and each solve finds the
// blocks of the last one. Outside these scopes CppAD adds nothing to the pool (it only takes from
// it), so the pool holds no more than what the solves left; a dying Newton-family solver empties it.
// Nothing else in the engine changes this CppAD setting.
class PooledCppadMemory {
public:
    PooledCppadMemory() {
        if (depth_++ == 0) CppAD::thread_alloc::hold_memory(true);
    }
    ~PooledCppadMemory() {
        if (--depth_ == 0) CppAD::thread_alloc::hold_memory(false);
    }
    PooledCppadMemory(const PooledCppadMemory&) = delete;
    PooledCppadMemory& operator=(const PooledCppadMemory&) = delete;

private:
    static int depth_;  // tape evaluations are never concurrent, so a plain count serves
};

int PooledCppadMemory::depth_ = 0;

// Doubles in a block of CppAD's pool, their values undefined until written. The direction vectors of
// a Jacobian evaluation are written in full before they are read: the seeds by the solver, the
// results by CppAD. CppAD's own vector would first zero the whole capacity.
class PoolVector {
public:
    using value_type = double;

    PoolVector() = default;
    explicit PoolVector(std::size_t n) { resize(n); }
    PoolVector(const PoolVector& other) : PoolVector(other.size_) {
        std::copy(other.data_, other.data_ + other.size_, data_);
    }
    PoolVector(PoolVector&& other) noexcept { swap(other); }
    PoolVector& operator=(const PoolVector& other) {
        if (this != &other) {
            resize(other.size_);
            std::copy(other.data_, other.data_ + other.size_, data_);
        }
        return *this;
    }
    PoolVector& operator=(PoolVector&& other) noexcept {
        swap(other);
        return *this;
    }
    ~PoolVector() {
        if (data_ != nullptr) CppAD::thread_alloc::return_memory(data_);
    }

    std::size_t size() const { return size_; }
    // Keeps the block when it is large enough; the values are not kept otherwise.
    void resize(std::size_t n) {
        if (n * sizeof(double) > capacity_) {
            if (data_ != nullptr) CppAD::thread_alloc::return_memory(data_);
            data_ = nullptr;
            capacity_ = 0;
            data_ = static_cast<double*>(CppAD::thread_alloc::get_memory(n * sizeof(double), capacity_));
        }
        size_ = n;
    }
    double& operator[](std::size_t k) { return data_[k]; }
    const double& operator[](std::size_t k) const { return data_[k]; }

private:
    void swap(PoolVector& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    double* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes
};

void empty_cppad_pool() { CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num()); }

// Adds the time and minor page faults of its own lifetime to a part of the profile; does nothing
// without a part.
class ProfileScope {
public:
    explicit ProfileScope(NewtonProfile::Part* part) : part_(part) {
        if (part_ != nullptr) sample(start_seconds_, start_faults_);
    }
    ~ProfileScope() {
        if (part_ == nullptr) return;
        double seconds = 0.0;
        long faults = 0;
        sample(seconds, faults);
        part_->seconds += seconds - start_seconds_;
        part_->faults += faults - start_faults_;
        ++part_->calls;
    }
    ProfileScope(const ProfileScope&) = delete;
    ProfileScope& operator=(const ProfileScope&) = delete;

private:
    static void sample(double& seconds, long& faults) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        faults = usage.ru_minflt;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    NewtonProfile::Part* part_;
    double start_seconds_ = 0.0;
    long start_faults_ = 0;
};

NewtonProfile::Part* part_of(NewtonProfile* profile, NewtonProfile::Part NewtonProfile::*part) {
    return profile != nullptr ? &(profile->*part) : nullptr;
}

[[noreturn]] void fail(const char* message, int iteration) {
    throw std::runtime_error(fmt::format(fmt::runtime(message), iteration));
}
}  // namespace

AbstractNewton::AbstractNewton(ElectricalNetwork* network_, bool optimize_tape)
    : AbstractSolver(network_), solver(std::make_unique<LinearSolver>()) {
    CppadErrorHandlerScope handler;
    load_initial_values();
    const std::size_t n = static_cast<std::size_t>(variables.size());
    ADVector ax(variables.data(), variables.data() + variables.size());
    ADVector ap(parameters.data(), parameters.data() + parameters.size());
    if (n == 0) {
        // Nothing to solve for: CppAD cannot record without independent variables, and the
        // solver never needs the tape then. The records are linked all the same.
        network->bind(ax, variables, ap, parameters);
    } else {
        CppAD::Independent(ax, ap);
        try {
            network->bind(ax, variables, ap, parameters);
            ADVector ay(n);
            network->fill_residuals(ay);
            tape.Dependent(ax, ay);
        } catch (...) {
            // A recording left open would leak, and the next one would take over its tape id.
            AD::abort_recording();
            throw;
        }
    }
    spdlog::debug("----- Tape evaluation -----");
    spdlog::debug("Number of tape operators: {0:d}", tape.size_op());
    if (optimize_tape) {
        if (n > 0) tape.optimize("");
        spdlog::debug("----- Tape optimization -----");
        spdlog::debug("Number of tape operators: {0:d}", tape.size_op());
    }
    initial_variables = variables;
}

AbstractNewton::~AbstractNewton() {
    // What the solves left in the pool goes back to the system; the tape's own blocks follow when
    // the members go, the pool no longer being held.
    empty_cppad_pool();
}

VectorXd AbstractNewton::get_residuals() {
    if (variables.size() == 0) return VectorXd();
    PooledCppadMemory pooled;
    ProfileScope timed(part_of(profile, &NewtonProfile::residuals));
    return tape.Forward(0, variables);
}

Eigen::SparseMatrix<double> AbstractNewton::compute_jacobian() { return evaluate_jacobian(); }

const Eigen::SparseMatrix<double>& AbstractNewton::evaluate_jacobian() {
    const int n = static_cast<int>(variables.size());
    if (!pattern_analysed) {
        ProfileScope timed(part_of(profile, &NewtonProfile::pattern));
        if (n > 0) {
            CppAD::sparse_rc<IndexVector> identity(static_cast<std::size_t>(n), static_cast<std::size_t>(n),
                                                   static_cast<std::size_t>(n));
            for (int k = 0; k < n; ++k) identity.set(static_cast<std::size_t>(k), k, k);
            // Not transposed, no dependency pattern, sets held as lists: memory follows the
            // non-zeros, not the square of the variables.
            tape.for_jac_sparsity(identity, false, false, false, pattern);
        }
        subset = CppAD::sparse_rcv<IndexVector, VectorXd>(pattern);
        spdlog::debug("----- Sparse pattern initialisation -----");
        spdlog::debug("n: {0:d} nnz: {1:d}", n, subset.nnz());
    }
    if (n == 0) {
        jacobian = Eigen::SparseMatrix<double>(0, 0);
        return jacobian;
    }
    ProfileScope timed(part_of(profile, &NewtonProfile::jacobian));
    const bool new_pattern = !pattern_analysed;
    {
        PooledCppadMemory pooled;
        if (work.color.size() == 0)  // the first evaluation colours the columns
            tape.sparse_jac_for(group_size, variables, subset, pattern, "cppad", work);
        else
            coloured_jacobian_values();
    }
    // The pattern and colouring work leaves blocks in the pool that later evaluations would not reuse.
    if (new_pattern) empty_cppad_pool();

    const IndexVector& rows = subset.row();
    const IndexVector& cols = subset.col();
    const VectorXd& values = subset.val();
    const std::size_t nnz = subset.nnz();
    if (pattern_analysed && storage_of_entry.size() == nnz) {
        // The pattern is settled: the values go into the matrix of the last evaluation.
        double* stored = jacobian.valuePtr();
        for (std::size_t k = 0; k < nnz; ++k) stored[storage_of_entry[k]] = values[static_cast<Eigen::Index>(k)];
        return jacobian;
    }
    std::vector<Eigen::Triplet<double, int>> triplets;
    triplets.reserve(nnz);
    for (std::size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], values[static_cast<Eigen::Index>(k)]);
    jacobian = Eigen::SparseMatrix<double>(n, n);
    jacobian.setFromTriplets(triplets.begin(), triplets.end());
    if (pattern_analysed) map_storage();
    return jacobian;
}

void AbstractNewton::coloured_jacobian_values() {
    // The forward sweeps of sparse_jac_for with its colouring, groups and seeds, so the values are
    // the same to the last bit; only the direction vectors differ: their blocks come from the pool
    // and stay there for the next evaluation, where sparse_jac_for takes blocks of several
    // megabytes from the system allocator for every group (and the allocator may give them back).
    const std::size_t n = static_cast<std::size_t>(variables.size());
    const CppAD::vector<std::size_t>& color = work.color;
    const CppAD::vector<std::size_t>& order = work.order;
    const IndexVector& rows = subset.row();
    const IndexVector& cols = subset.col();
    tape.Forward(0, variables);
    const std::size_t nnz = subset.nnz();
    if (nnz == 0) return;
    std::size_t colours = 1;
    for (std::size_t j = 0; j < n; ++j)
        if (color[j] < n) colours = std::max<std::size_t>(colours, color[j] + 1);
    for (std::size_t k = 0; k < nnz; ++k) subset.set(k, 0.0);
    std::size_t k = 0;
    PoolVector dx;  // the first group is the largest: later groups fit in its block
    for (std::size_t first = 0; first < colours;) {
        const std::size_t group = std::min<std::size_t>(group_size, colours - first);
        dx.resize(n * group);
        for (std::size_t ell = 0; ell < group; ++ell)
            for (std::size_t j = 0; j < n; ++j) dx[j * group + ell] = color[j] == ell + first ? 1.0 : 0.0;
        const PoolVector dy = group == 1 ? tape.Forward(1, dx) : tape.Forward(1, group, dx);
        for (std::size_t ell = 0; ell < group; ++ell) {
            for (; k < nnz && color[static_cast<std::size_t>(cols[order[k]])] == ell + first; ++k)
                subset.set(order[k], dy[static_cast<std::size_t>(rows[order[k]]) * group + ell]);
        }
        first += group;
    }
}

void AbstractNewton::map_storage() {
    // Where each entry of the pattern is stored in the matrix (rows ascend inside a column); the
    // pattern holds no repeated entry, so the matrix stores exactly one value for each.
    const IndexVector& rows = subset.row();
    const IndexVector& cols = subset.col();
    const std::size_t nnz = subset.nnz();
    storage_of_entry.clear();
    if (jacobian.nonZeros() != static_cast<Eigen::Index>(nnz)) return;  // not this pattern's matrix
    storage_of_entry.resize(nnz);
    const int* outer = jacobian.outerIndexPtr();
    const int* inner = jacobian.innerIndexPtr();
    for (std::size_t k = 0; k < nnz; ++k)
        storage_of_entry[k] =
            static_cast<int>(std::lower_bound(inner + outer[cols[k]], inner + outer[cols[k] + 1], rows[k]) - inner);
}

std::pair<long, long> AbstractNewton::factor_nonzeros() const {
    if (!factorised) return {0, 0};
    return {static_cast<long>(solver->lu.nnzL()), static_cast<long>(solver->lu.nnzU())};
}

void AbstractNewton::dense_jacobian(double* out) {
    if (variables.size() == 0) return;
    PooledCppadMemory pooled;
    const VectorXd j = tape.Jacobian(variables);
    std::copy(j.data(), j.data() + j.size(), out);
}

namespace {
bool has_empty_column(const Eigen::SparseMatrix<double>& j) {
    for (Eigen::Index c = 0; c < j.outerSize(); ++c)
        if (!Eigen::SparseMatrix<double>::InnerIterator(j, c)) return true;
    return false;
}
}  // namespace

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
    network->check_topology();
    CppadErrorHandlerScope handler;
    PooledCppadMemory pooled;
    if (variables.size() > 0) {
        ProfileScope timed(part_of(profile, &NewtonProfile::parameters));
        tape.new_dynamic(parameters);
    }
    VectorXd f = get_residuals();
    int i = 0;
    while (i < max_iterations && needs_step(f, tolerance)) {
        const Eigen::SparseMatrix<double>& j = evaluate_jacobian();
        if (!all_finite(j)) fail("1 NaN value encountered at iteration {}. ", i);
        if (!pattern_analysed) {
            // An empty system has nothing to analyse, but its pattern is settled all the same.
            ProfileScope timed(part_of(profile, &NewtonProfile::analysis));
            if (j.rows() > 0) solver->lu.analyzePattern(j);
            pattern_analysed = true;
            map_storage();  // from now on the values are written in place
            if (work.color.size() > 0) {
                // Read only to colour the columns; subset holds the same entries.
                CppAD::sparse_rc<IndexVector> unused(pattern.nr(), pattern.nc(), 0);
                pattern.swap(unused);
            }
        }
        VectorXd dx;
        // A column without any stored entry is singular, and Eigen's sparse LU would not even
        // return for a matrix with far fewer entries than columns.
        if (has_empty_column(j)) fail("1 Decomposition failed, singular matrix at iteration {}. ", i);
        if (j.rows() > 0) {  // the LU cannot take an empty matrix; an empty step is trivial
            {
                ProfileScope timed(part_of(profile, &NewtonProfile::factorisation));
                solver->lu.factorize(j);
            }
            factorised = true;
            if (solver->lu.info() != Eigen::Success)
                fail("1 Decomposition failed, singular matrix at iteration {}. ", i);
            {
                ProfileScope timed(part_of(profile, &NewtonProfile::triangular));
                dx = solver->lu.solve(f);
            }
            if (solver->lu.info() != Eigen::Success) fail("1 Solving failed at iteration {}. ", i);
        }
        step(j, dx, f);
        ++i;
    }
    {
        ProfileScope timed(part_of(profile, &NewtonProfile::currents));
        for (Element* e : network->elements) e->compute_currents(false);
        network->clear_detached_currents();
    }
    const double error = largest_residual(f);
    // Never a non-finite result, the iteration limit reached or not: a NaN that no Jacobian shows (a
    // source voltage, where every equation is linear) lasts to the limit, and a load between two
    // nodes held at zero has no equation of its own, only a current that no voltage can drive.
    if (!std::isfinite(error) || !variables.allFinite() || !finite_currents(*network))
        fail("1 NaN value encountered at iteration {}. ", i);
    if (error <= tolerance) check_run_away(f, tolerance);
    return {i, error};
}

void AbstractNewton::check_run_away(const VectorXd& f, double tolerance) const {
    // No potential of a solution lies far beyond what the sources impose, carried through every
    // transformer's ratio either way. At a run-away node the potential grew until the currents there
    // fell under the tolerance: they no longer balance one another, and the balance weighed by the
    // potential over that bound is about the power of the loads there divided by the bound, where at
    // a solution it is at most the tolerance. A million times beyond the bound, rounding alone meets
    // any balance (a constant current's |U|^2 overflows, a floating winding's voltage is lost).
    double voltage = 0.0;
    double gain = 1.0;
    for (const Element* e : network->elements) {
        voltage = std::max(voltage, e->imposed_voltage());
        gain *= e->voltage_gain();
    }
    const double bound = voltage * gain;
    if (!(bound > 0.0)) return;
    const Connection* worst = nullptr;
    double worst_potential = 0.0;
    Eigen::Index k = 0;
    for (const auto& c : network->connections) {
        if (c->is_zero) continue;
        if (k + 1 >= variables.size()) break;
        const double u = std::hypot(variables[k], variables[k + 1]);
        const double r = std::hypot(f[k], f[k + 1]);
        k += 2;
        if (!(u > bound) || !(u > worst_potential)) continue;
        double largest = 0.0;
        for (const Port* p : c->ports) largest = std::max(largest, std::abs(p->current));
        const bool unbalanced = u > 10.0 * bound && r > 0.5 * largest;
        if (unbalanced || r * (u / bound) > 100.0 * tolerance || u > 1e6 * bound) {
            worst = c.get();
            worst_potential = u;
        }
    }
    if (worst == nullptr) return;
    // Named by the first listed element with a port there.
    auto name = [&]() -> std::string {
        for (std::size_t position = 0; position < network->elements.size(); ++position) {
            const Element& e = *network->elements[position];
            for (std::size_t port = 0; port < e.ports.size(); ++port)
                if (e.ports[port].connection.get() == worst && e.is_connected(port))
                    return fmt::format("the node of port {} of the {} at position {}", port, e.kind_name(), position);
        }
        return "a node";
    };
    throw std::runtime_error(fmt::format(
        "1 The potential of {} ran away to {:.3g} V, far beyond what the sources give: the tolerance was met "
        "there only because the currents vanish, or are lost to rounding, at such a potential. Nothing holds "
        "that node: loads on an island (such as one behind an open switch) have no load flow, and those on a "
        "star point that nothing earths may have one that these steps do not reach. Earth the star point, take "
        "the island out of the network, or {}. ",
        name(), worst_potential, where_a_solution_exists()));
}

void AbstractNewton::step(const Eigen::SparseMatrix<double>& j, const VectorXd& dx, VectorXd& f) {
    if (profile == nullptr) {
        update_variables(j, dx, f);
        return;
    }
    // The residual evaluations of the step are counted as such, not as the step's own work.
    const NewtonProfile::Part residuals = profile->residuals;
    {
        ProfileScope timed(&profile->update);
        update_variables(j, dx, f);
    }
    profile->update.seconds -= profile->residuals.seconds - residuals.seconds;
    profile->update.faults -= profile->residuals.faults - residuals.faults;
}

Newton::Newton(ElectricalNetwork* network_, bool optimize_tape) : AbstractNewton(network_, optimize_tape) {}

const char* Newton::where_a_solution_exists() const {
    return "try Newton-Goldstein, whose line search may reach a solution where one exists";
}

void Newton::update_variables(const Eigen::SparseMatrix<double>&, const VectorXd& dx, VectorXd& residuals) {
    variables -= dx;
    residuals = get_residuals();
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* network_, bool optimize_tape, double m1_, double m2_,
                                 bool weighted_merit_)
    : AbstractNewton(network_, optimize_tape), m1(m1_), m2(m2_), weighted_merit(weighted_merit_) {}

const char* NewtonGoldstein::where_a_solution_exists() const {
    return "start from other potentials (a bus's initialize_potentials) where a solution exists";
}

void NewtonGoldstein::update_variables(const Eigen::SparseMatrix<double>& jacobian, const VectorXd& dx,
                                       VectorXd& residuals) {
    VectorXd weights = VectorXd::Ones(residuals.size());
    if (weighted_merit) {
        VectorXd largest = VectorXd::Ones(jacobian.rows());
        for (int c = 0; c < jacobian.outerSize(); ++c) {
            for (Eigen::SparseMatrix<double>::InnerIterator it(jacobian, c); it; ++it) {
                const double a = std::abs(it.value());
                if (largest[it.row()] < a) largest[it.row()] = a;
            }
        }
        weights = largest.cwiseInverse();
    }
    const double q0 = weights.cwiseProduct(residuals).squaredNorm();
    const double merit0 = 0.5 * q0;
    const double slope = -q0;
    const VectorXd x0 = variables;
    double t = 1.0;
    double t_low = 0.0;
    double t_high = 0.0;
    for (int trial = 0; trial < 10; ++trial) {
        variables = x0 - t * dx;
        residuals = get_residuals();
        const double merit = 0.5 * weights.cwiseProduct(residuals).squaredNorm();
        const double ratio = (merit - merit0) / t;
        if (m2 * slope <= ratio && ratio <= m1 * slope) return;
        if (ratio > m1 * slope)
            t_high = t;
        else
            t_low = t;
        t = t_high == 0.0 ? 2.0 * t : 0.5 * (t_low + t_high);
    }
}
