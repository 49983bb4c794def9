// The Python module serial_driver: ChassisLink, the port listing, the log bridge to Python's
// logging, and the simulated chassis as serial_driver.sim.
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "chassis_sim/conditions.h"
#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/link_error_table.h"
#include "serial_driver/open_advice.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/wire_facts.h"

namespace py = pybind11;
using namespace pybind11::literals;

// An int argument as Python gives it: the binding's own conversion would raise TypeError or
// OverflowError past the C type, so each argument converts it and raises its own error
// (wideInt, cInt). Signatures still say int.
struct AnyInt {
  py::object value;
};

namespace pybind11 {
namespace detail {
template <>
struct type_caster<AnyInt> {
  PYBIND11_TYPE_CASTER(AnyInt, const_name("int"));
  bool load(handle src, bool) {
    value.value = reinterpret_borrow<object>(src);
    return true;
  }
};
}  // namespace detail
}  // namespace pybind11
using serial_driver::ChassisLink;
using serial_driver::Errc;

namespace {

// The exception class of each Errc, all derived from LinkError, and the Errc enum; made once
// at import.
std::map<Errc, py::object>& errorClasses() {
  static auto* classes = new std::map<Errc, py::object>();  // lives as long as the interpreter
  return *classes;
}

py::object& errcEnum() {
  static auto* errc = new py::object();  // lives as long as the interpreter
  return *errc;
}

py::object linkError(std::error_code ec, const std::string& message) {
  py::object cls = errorClasses().at(static_cast<Errc>(ec.value()));
  py::object error = cls(message);
  error.attr("code") = errcEnum()(ec.value());
  return error;
}

[[noreturn]] void raise(const py::object& error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raiseLinkError(std::error_code ec) { raise(linkError(ec, ec.message())); }

// An open that failed, or a reconnection: the cause and the fix, and for a busy port its
// holder, for a port that would not open the system's errno.
[[noreturn]] void raiseOpenError(std::error_code ec, const serial_driver::OpenFailure& why,
                                 const std::string& serial) {
  py::object error = linkError(ec, serial_driver::detail::openAdvice(ec, why, serial));
  if (ec == Errc::busy) error.attr("holder") = why.holder.empty() ? "another program" : why.holder;
  if (ec == Errc::open_failed) {
    error.attr("errno") = why.system ? py::object(py::int_(why.system.value())) : py::none();
  }
  raise(error);
}

void check(std::error_code ec) {
  if (ec) raiseLinkError(ec);
}

// A real enum.Enum whose members carry the C++ values.
template <typename Enum>
py::object makeEnum(py::module_& scope, const char* name,
                    const std::vector<std::pair<const char*, Enum>>& members) {
  py::list items;
  for (const auto& [member, value] : members) {
    items.append(py::make_tuple(member, static_cast<int>(value)));
  }
  py::object cls = py::module_::import("enum").attr("Enum")(
      name, items, "module"_a = scope.attr("__name__"), "qualname"_a = name);
  scope.attr(name) = cls;
  return cls;
}

// Runs one link operation with the GIL released, so other Python threads (and other links)
// go on meanwhile. The GIL is taken back by a plain call, not a destructor: at interpreter exit
// a daemon thread is ended right there by an unwind, which must not cross a noexcept frame.
template <typename Operation>
std::error_code withoutGilUnwinding(Operation&& operation) {
  std::error_code ec;
  PyThreadState* state = PyEval_SaveThread();
  try {
    ec = operation();
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
  PyEval_RestoreThread(state);
  // The wait ended for a signal whose Python handler raised (KeyboardInterrupt for Ctrl-C).
  if (ec == Errc::cancelled && PyErr_Occurred() != nullptr) throw py::error_already_set();
  return ec;
}

// Runs a call that may wait for a link's lock with the GIL released: the thread holding the
// lock may need the GIL first (to log, or to look for Ctrl-C).
template <typename Call>
auto withoutGil(Call&& call) {
  py::gil_scoped_release released;
  return call();
}

// What a refused set adds to its message on a link that goes through the port's owner: the
// owner's "!read-only" comes back as rejected, as the controller's own refusal does, so the
// message names both, and how the owner allows sets.
std::string ownerSetsHint(ChassisLink& link) {
  const serial_driver::LinkStats stats = withoutGil([&] { return link.stats(); });
  if (stats.owner_pid == 0) return "";
  return "; or the port's owner, pid " + std::to_string(stats.owner_pid) + " (" +
         stats.owner_program +
         "), serves reads only: it allows sets when it opens with serve_writes=True "
         "(LinkOptions::serve_writes, chassisd --allow-writes)";
}

// An operation on the link; a reconnection it made that could not open the port says why.
template <typename Operation>
void exchange(ChassisLink& link, Operation&& operation, bool is_set = false) {
  const std::error_code ec = withoutGilUnwinding(operation);
  if (ec == Errc::busy || ec == Errc::open_failed) raiseOpenError(ec, link.open_failure(), "");
  if (ec == Errc::rejected && is_set) raise(linkError(ec, ec.message() + ownerSetsHint(link)));
  check(ec);
}

// Asked by a link when a signal interrupts its wait: runs Python's signal handlers, and ends
// the wait when one raised. Only the main thread runs them; at interpreter exit every wait ends.
bool pythonSignalRaised() {
  if (_Py_IsFinalizing()) return true;
  py::gil_scoped_acquire gil;
  return PyErr_CheckSignals() != 0;
}

// An int argument: whatever has __index__, never a float, as the binding takes an int. Empty
// past 64 bits.
std::optional<long long> wideInt(py::handle value, const char* name) {
  if (PyFloat_Check(value.ptr()) || PyIndex_Check(value.ptr()) == 0) {
    throw py::type_error(std::string(name) + " must be an int");
  }
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  if (wide == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  return wide;
}

// An int argument the C++ side takes as an int. Python's ints have no bound: past the C type
// the argument raises what it raises for any other value out of its range (`refuse`).
template <typename Refuse>
int cInt(py::handle value, const char* name, Refuse&& refuse) {
  const std::optional<long long> wide = wideInt(value, name);
  if (!wide || *wide < INT_MIN || *wide > INT_MAX) refuse();
  return static_cast<int>(*wide);
}

// An entry index: the wire carries a C int, so any other is a value that cannot be sent.
int entryIndex(const AnyInt& index) {
  return cInt(index.value, "index", [] { raiseLinkError(Errc::bad_value); });
}

// A simulator argument out of range is the caller's mistake, as a non-positive rate is.
int simInt(const AnyInt& value, const char* name) {
  return cInt(value.value, name,
              [name] { throw py::value_error(std::string(name) + " is out of range"); });
}

// Runs a Python conversion (int(), float()); a number too large for it cannot be sent either.
template <typename Convert>
auto convertValue(Convert&& convert) {
  try {
    return convert();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OverflowError)) throw;
  }
  raiseLinkError(Errc::bad_value);
}

// reply_timeout as a timedelta or as seconds, one rule for both: negative is refused, a
// fraction of a millisecond is rounded up to one, None or 0 is the rate's own deadline.
std::chrono::milliseconds replyTimeout(const py::object& value) {
  if (value.is_none()) return std::chrono::milliseconds(0);
  if (py::isinstance(value, py::module_::import("datetime").attr("timedelta"))) {
    // Whole days, seconds and microseconds, so no precision is lost on the way.
    const auto days = value.attr("days").cast<long long>();
    const auto seconds = value.attr("seconds").cast<long long>();
    const auto micros = value.attr("microseconds").cast<long long>();
    if (days < 0) throw py::value_error("reply_timeout must not be negative");
    return std::chrono::milliseconds(days * 86'400'000LL + seconds * 1000LL +
                                     (micros + 999) / 1000);
  }
  double seconds = 0.0;
  if (py::isinstance<py::float_>(value)) {
    seconds = value.cast<double>();
  } else if (py::isinstance<py::int_>(value)) {
    // An int beyond a double is as long as it takes, or negative.
    seconds = PyLong_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      seconds = value < py::int_(0) ? -HUGE_VAL : HUGE_VAL;
    }
  } else {
    throw py::type_error("reply_timeout must be seconds or a datetime.timedelta");
  }
  // Judged before rounding: -0.0001 would round to 0, the rate's own deadline.
  if (std::isnan(seconds) || seconds < 0.0) {
    throw py::value_error("reply_timeout must not be negative");
  }
  const double ms = std::ceil(seconds * 1000.0);
  // Past the range of milliseconds it means "as long as it takes", as in C++.
  if (ms >= 9.2e18) return std::chrono::milliseconds::max();
  return std::chrono::milliseconds(static_cast<long long>(ms));
}

// Destroying a link that serves joins its serving thread, which may be waiting for the GIL to
// log: the GIL is let go meanwhile. At interpreter exit the sink is gone and no thread may
// take the GIL back safely, so it is kept.
struct DeleteWithoutGil {
  void operator()(ChassisLink* link) const {
    if (PyGILState_Check() == 0 || _Py_IsFinalizing()) {
      delete link;
      return;
    }
    PyThreadState* state = PyEval_SaveThread();
    delete link;
    PyEval_RestoreThread(state);
  }
};
using LinkHolder = std::unique_ptr<ChassisLink, DeleteWithoutGil>;

LinkHolder openLink(const std::optional<std::string>& serial,
                    const std::optional<std::string>& device, const AnyInt& baud,
                    const py::object& reply_timeout, const AnyInt& reconnect_after,
                    const AnyInt& max_in_flight, bool exclusive, bool serve, bool serve_writes,
                    const std::optional<std::string>& socket) {
  serial_driver::LinkOptions options;
  options.serial = serial.value_or("");
  options.device = device.value_or("");
  options.socket = socket.value_or("");
  if (options.serial.empty() && options.device.empty() && options.socket.empty()) {
    raise(linkError(Errc::bad_value, "ChassisLink needs serial=, device= or socket="));
  }
  // No rate the line knows is out of int range, and 0 is none.
  options.baud = cInt(baud.value, "baud", [] { raiseLinkError(Errc::bad_baud); });
  options.reply_timeout = replyTimeout(reply_timeout);
  options.reconnect_after =
      cInt(reconnect_after.value, "reconnect_after", [] { raiseLinkError(Errc::bad_value); });
  const auto refuse_in_flight = [] {
    throw py::value_error("max_in_flight must be from 1 to " +
                          std::to_string(serial_driver::kMaxInFlight));
  };
  options.max_in_flight = cInt(max_in_flight.value, "max_in_flight", refuse_in_flight);
  if (options.max_in_flight < 1 || options.max_in_flight > serial_driver::kMaxInFlight) {
    refuse_in_flight();
  }
  options.exclusive = exclusive;
  options.serve = serve;
  options.serve_writes = serve_writes;
  options.interrupt_check = pythonSignalRaised;
  LinkHolder link(new ChassisLink());
  const std::error_code ec = withoutGilUnwinding([&] { return link->open(options); });
  if (ec == Errc::not_found || ec == Errc::busy || ec == Errc::open_failed) {
    raiseOpenError(ec, link->open_failure(), options.serial);
  }
  check(ec);
  return link;
}

template <typename T>
T getValue(ChassisLink& link, const AnyInt& entry) {
  const int index = entryIndex(entry);
  T value{};
  exchange(link, [&] { return link.get(index, value); });
  return value;
}

py::bytes getBytes(ChassisLink& link, const AnyInt& index) {
  return py::bytes(getValue<std::string>(link, index));
}

// A text that is not UTF-8 still arrived whole: its undecodable bytes become U+FFFD, and
// get_bytes() gives them as they are.
py::str decodeText(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

py::str getText(ChassisLink& link, const AnyInt& index) {
  return decodeText(getValue<std::string>(link, index));
}

// The value's type from its Python type, unless type= names one ("int", "float", "text" or
// the Python types themselves).
std::string valueKind(const py::object& value, const py::object& type) {
  std::string kind;
  if (type.is_none()) {
    if (py::isinstance<py::bool_>(value) || py::isinstance<py::int_>(value)) {
      kind = "int";
    } else if (py::isinstance<py::float_>(value)) {
      kind = "float";
    } else if (py::isinstance<py::str>(value)) {
      kind = "text";
    } else {
      throw py::type_error("value must be an int, a float or a str");
    }
  } else if (py::isinstance<py::str>(type)) {
    kind = type.cast<std::string>();
  } else if (type.is(py::type::of(py::int_()))) {
    kind = "int";
  } else if (type.is(py::type::of(py::float_()))) {
    kind = "float";
  } else if (type.is(py::type::of(py::str()))) {
    kind = "text";
  }
  if (kind != "int" && kind != "float" && kind != "text") {
    throw py::value_error("type must be 'int', 'float', 'text', int, float or str");
  }
  return kind;
}

// As int() reads it ("12" included); outside the controller's int range it cannot be sent.
int intValue(const py::object& value) {
  const py::int_ whole = convertValue([&] { return py::int_(value); });
  return cInt(whole, "value", [] { raiseLinkError(Errc::bad_value); });
}

// As float() reads it; beyond a float's range it is not finite, which cannot be sent.
float floatValue(const py::object& value) {
  return convertValue([&] { return py::float_(value).cast<float>(); });
}

void setValue(ChassisLink& link, const AnyInt& entry, const py::object& value,
              const py::object& type) {
  const int index = entryIndex(entry);
  const std::string kind = valueKind(value, type);
  if (kind == "int") {
    const int v = intValue(value);
    exchange(
        link, [&] { return link.set(index, v); }, true);
  } else if (kind == "float") {
    const float v = floatValue(value);
    exchange(
        link, [&] { return link.set(index, v); }, true);
  } else if (kind == "text") {
    const std::string v = py::str(value);
    exchange(
        link, [&] { return link.set(index, std::string_view(v)); }, true);
  }
}

// A Batch as Python sees it: each get_* or set returns the item's position; exchange() fills
// the values the C++ batch writes into the slots, which a deque keeps in place as it grows.
class PyBatch {
 public:
  enum class Kind { kSet, kFloat, kInt, kText, kBytes };

  size_t get(const AnyInt& entry, Kind kind) {
    checkIdle();
    const int index = entryIndex(entry);
    Slot& slot = add(index, kind);
    if (kind == Kind::kFloat) batch_.get(index, slot.f);
    if (kind == Kind::kInt) batch_.get(index, slot.i);
    if (kind == Kind::kText || kind == Kind::kBytes) batch_.get(index, slot.s);
    return slots_.size() - 1;
  }

  size_t set(const AnyInt& entry, const py::object& value, const py::object& type) {
    checkIdle();
    const int index = entryIndex(entry);
    const std::string kind = valueKind(value, type);
    // Converted before the item is added, so a refused value leaves the batch as it was.
    if (kind == "int") {
      const int v = intValue(value);
      add(index, Kind::kSet);
      batch_.set(index, v);
    } else if (kind == "float") {
      const float v = floatValue(value);
      add(index, Kind::kSet);
      batch_.set(index, v);
    } else {
      const std::string v = py::str(value);
      add(index, Kind::kSet);
      batch_.set(index, std::string_view(v));
    }
    return slots_.size() - 1;
  }

  size_t size() const { return slots_.size(); }

  void clear() {
    checkIdle();
    batch_.clear();
    slots_.clear();
    exchanged_ = 0;
  }

  // Item i's value (None for a set), or its error raised.
  py::object result(const AnyInt& item) const {
    const size_t i = checkExchanged(item);
    if (const std::error_code ec = batch_.result(i)) raise(error(i, ec));
    return value(i);
  }

  // Item i's error as an exception object, None when it succeeded.
  py::object errorOf(const AnyInt& item) const {
    const size_t i = checkExchanged(item);
    const std::error_code ec = batch_.result(i);
    return ec ? error(i, ec) : py::none();
  }

  // The whole batch on the link, the GIL released throughout: every value, or the first
  // failure in item order raised.
  py::list exchange(ChassisLink& link) {
    checkIdle();
    busy_ = true;
    std::error_code ec;
    try {
      ec = withoutGilUnwinding([&] { return link.exchange(batch_); });
    } catch (...) {
      busy_ = false;
      throw;
    }
    busy_ = false;
    exchanged_ = slots_.size();
    sets_hint_.clear();
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].kind == Kind::kSet && batch_.result(i) == Errc::rejected) {
        sets_hint_ = ownerSetsHint(link);
        break;
      }
    }
    if (ec == Errc::busy || ec == Errc::open_failed) raiseOpenError(ec, link.open_failure(), "");
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (const std::error_code item = batch_.result(i)) raise(error(i, item));
    }
    check(ec);
    py::list values;
    for (size_t i = 0; i < slots_.size(); ++i) values.append(value(i));
    return values;
  }

 private:
  struct Slot {
    int index = 0;
    Kind kind = Kind::kSet;
    float f = 0.0f;
    int i = 0;
    std::string s;
  };

  Slot& add(int index, Kind kind) {
    Slot& slot = slots_.emplace_back();
    slot.index = index;
    slot.kind = kind;
    return slot;
  }

  // Another Python thread may run while an exchange has the GIL released.
  void checkIdle() const {
    if (busy_) throw std::runtime_error("the batch is in an exchange on another thread");
  }

  // The item's position; one that no item has, however large, is an IndexError.
  size_t checkExchanged(const AnyInt& item) const {
    checkIdle();
    const std::optional<long long> wide = wideInt(item.value, "item");
    if (!wide || *wide < 0 || static_cast<unsigned long long>(*wide) >= slots_.size()) {
      throw py::index_error("no such item in the batch");
    }
    const auto i = static_cast<size_t>(*wide);
    if (i >= exchanged_) throw std::runtime_error("the item has not been exchanged yet");
    return i;
  }

  py::object value(size_t i) const {
    const Slot& slot = slots_[i];
    switch (slot.kind) {
      case Kind::kFloat:
        return py::float_(slot.f);
      case Kind::kInt:
        return py::int_(slot.i);
      case Kind::kText:
        return decodeText(slot.s);
      case Kind::kBytes:
        return py::bytes(slot.s);
      case Kind::kSet:
        break;
    }
    return py::none();
  }

  py::object error(size_t i, std::error_code ec) const {
    const Slot& slot = slots_[i];
    const bool set = slot.kind == Kind::kSet;
    py::object e = linkError(ec, ec.message() + " (item " + std::to_string(i) + ", " +
                                     (set ? "set " : "get ") + std::to_string(slot.index) + ")" +
                                     (set && ec == Errc::rejected ? sets_hint_ : ""));
    e.attr("item") = i;
    return e;
  }

  serial_driver::Batch batch_;
  std::deque<Slot> slots_;
  size_t exchanged_ = 0;   // items the last exchange covered
  std::string sets_hint_;  // what a refused set adds, as the last exchange found the link
  bool busy_ = false;
};

// Library messages go to the logger "serial_driver" at the matching level, from any thread: an
// owner's serving thread logs too, which Python did not start.
void bridgeLogToPython() {
  serial_driver::setLogSink([](LogLevel level, const std::string& line) {
    static const int kPythonLevels[] = {5, 10, 20, 30, 40, 50};  // TRACE .. CRITICAL
    const int index = static_cast<int>(level);
    const int python_level = index >= 0 && index < 6 ? kPythonLevels[index] : 30;
    // A serving thread may log after exit has begun: taking the GIL then would end the thread
    // inside the library. The line goes where the library puts it without a sink.
    if (_Py_IsFinalizing()) {
      std::printf("%s\n", line.c_str());
      return;
    }
    py::gil_scoped_acquire gil;
    try {
      py::module_::import("logging")
          .attr("getLogger")("serial_driver")
          .attr("log")(python_level, line);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("serial_driver log bridge");
    }
  });
}

void ensurePreload() {
  if (chassis_sim::preloadActive()) return;
  if (!chassis_sim::preloadInstalled()) {
    throw std::runtime_error(
        "the simulated chassis needs umockdev's preload library (libumockdev-preload.so.0), "
        "which is not installed: apt install umockdev");
  }
  py::module_ sys = py::module_::import("sys");
  // The program is started again with its own arguments; one read from standard input, or
  // typed at the prompt, cannot be.
  const std::string program = py::str(sys.attr("argv").cast<py::list>()[0]);
  if (program.empty() || program == "-") {
    throw std::runtime_error(
        "sim.ensure_preload() starts the program again under the umockdev preload, which a "
        "program read from standard input or typed at the prompt cannot be: run it from a file "
        "or with -c, or start python under umockdev-wrapper");
  }
  const auto argv = sys.attr("orig_argv").cast<std::vector<std::string>>();
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  chassis_sim::ensurePreload(args.data());
}

void bindSim(py::module_& m) {
  using chassis_sim::Adapter;
  using chassis_sim::Fault;
  using chassis_sim::Testbed;
  py::module_ sim = m.def_submodule("sim",
                                    "The simulated chassis: USB adapters in a fake sysfs "
                                    "(umockdev) with a controller behind each tty.");
  // Importable as serial_driver.sim too, not only reachable as an attribute.
  py::module_::import("sys").attr("modules")["serial_driver.sim"] = sim;
  sim.def("preload_active", &chassis_sim::preloadActive,
          "True when the umockdev preload is in this process.");
  sim.def("ensure_preload", &ensurePreload,
          "Re-runs the interpreter with its own arguments under the umockdev preload when it is "
          "missing; returns when it is there.");

  std::vector<std::pair<const char*, Fault>> fault_members;
  for (const auto& fault : chassis_sim::kFaults)
    fault_members.emplace_back(fault.python_name, fault.fault);
  const py::object fault_enum = makeEnum<Fault>(sim, "Fault", fault_members);

  py::class_<Adapter>(sim, "Adapter")
      .def_property_readonly("serial", [](const Adapter& a) { return a.config().serial; })
      .def_property_readonly("devnode", &Adapter::devnode)
      .def_property_readonly("plugged", &Adapter::plugged)
      .def("unplug", &Adapter::unplug, "Pulls the adapter out: open ports see a hang-up.")
      .def("plug", &Adapter::plug, py::arg("node_ready") = true,
           "Puts it back; with node_ready=False its node cannot be opened until "
           "make_node_ready().")
      .def("make_node_ready", &Adapter::makeNodeReady)
      .def(
          "inject",
          [fault_enum](Adapter& a, const py::object& fault, const AnyInt& count) {
            if (!py::isinstance(fault, fault_enum))
              throw py::type_error("fault must be a sim.Fault");
            const int times = simInt(count, "count");
            a.controller().inject(static_cast<Fault>(fault.attr("value").cast<int>()), times);
          },
          py::arg("fault"), py::arg("count") = 1, "Faults for the next replies, one per reply.")
      .def(
          "set_byte_pacing",
          [](Adapter& a, const AnyInt& baud) {
            const int rate = simInt(baud, "baud");
            if (rate <= 0) throw py::value_error("baud must be a positive rate, such as 9600");
            a.controller().setBytePacing(serial_driver::detail::byteTime(rate));
          },
          py::arg("baud"), "Replies leave at the pace of a line at this rate (8N1).")
      .def(
          "set_entry",
          [](Adapter& a, const AnyInt& index, const std::string& value) {
            a.controller().setEntry(simInt(index, "index"), value);
          },
          py::arg("index"), py::arg("value"))
      .def(
          "entry",
          [](Adapter& a, const AnyInt& index) {
            return a.controller().entry(simInt(index, "index"));
          },
          py::arg("index"), "The entry's text as the controller stores it.")
      .def(
          "received",
          [](Adapter& a) {
            py::list frames;
            for (const auto& f : a.controller().received()) frames.append(py::bytes(f));
            return frames;
          },
          "Command frames received so far, byte for byte.")
      .def("wait_idle", [](Adapter& a) {
        py::gil_scoped_release released;
        a.controller().waitIdle();
      });

  py::class_<Testbed>(sim, "Testbed")
      .def(py::init([] {
        try {
          return std::make_unique<Testbed>();
        } catch (const std::runtime_error&) {
          // A testbed that is no longer used may still wait for the collector (a caught
          // exception's traceback keeps its frame): collect, then try once more.
          py::module_::import("gc").attr("collect")();
          return std::make_unique<Testbed>();
        }
      }))
      .def(
          "add_adapter",
          [](Testbed& t, const std::string& serial, const std::string& node, bool has_serial,
             bool fresh_termios) -> Adapter& {
            chassis_sim::AdapterConfig config;
            config.serial = serial;
            config.node = node;
            config.has_serial = has_serial;
            config.fresh_termios = fresh_termios;
            return t.addAdapter(config);
          },
          py::arg("serial"), py::arg("node") = "", py::arg("has_serial") = true,
          py::arg("fresh_termios") = false, py::return_value_policy::reference_internal,
          "A 1a86:7523 adapter, as /dev/ttyUSB<n> unless node names it.")
      .def(
          "adapter",
          [](Testbed& t, const AnyInt& i) -> Adapter& {
            // An index no adapter has, however large: IndexError, as past the last one.
            const std::optional<long long> wide = wideInt(i.value, "i");
            if (!wide || *wide < 0) throw py::index_error("no such adapter");
            return t.adapter(static_cast<size_t>(*wide));
          },
          py::arg("i"), py::return_value_policy::reference_internal)
      .def_property_readonly("root_dir", &Testbed::rootDir);
}

}  // namespace

PYBIND11_MODULE(serial_driver, m) {
  m.doc() = "Talk to a chassis controller behind a 1a86:7523 USB serial adapter.";

  std::vector<std::pair<const char*, Errc>> codes;
  for (const auto& error : serial_driver::detail::kErrcTable) {
    codes.emplace_back(error.python_name, error.code);
  }
  errcEnum() = makeEnum<Errc>(m, "Errc", codes);

  // Exception classes: LinkError, and one per error code.
  py::object builtins = py::module_::import("builtins");
  py::object type = builtins.attr("type");
  py::object link_error = type("LinkError", py::make_tuple(builtins.attr("Exception")),
                               py::dict("__module__"_a = "serial_driver",
                                        "__doc__"_a = "A link operation failed; .code says why."));
  m.attr("LinkError") = link_error;
  for (const auto& error : serial_driver::detail::kErrcTable) {
    // A time-out is also Python's own TimeoutError, so `except TimeoutError` catches it.
    py::tuple bases = error.code == Errc::timeout
                          ? py::make_tuple(link_error, builtins.attr("TimeoutError"))
                          : py::make_tuple(link_error);
    py::object cls = type(error.exception, bases, py::dict("__module__"_a = "serial_driver"));
    m.attr(error.exception) = cls;
    errorClasses()[error.code] = cls;
  }

  py::class_<serial_driver::LinkStats>(m, "LinkStats")
      .def_readonly("exchanges", &serial_driver::LinkStats::exchanges)
      .def_readonly("failures", &serial_driver::LinkStats::failures)
      .def_readonly("reconnections", &serial_driver::LinkStats::reconnections)
      .def_readonly("last_exchange", &serial_driver::LinkStats::last_exchange)
      .def_readonly("max_exchange", &serial_driver::LinkStats::max_exchange)
      .def_readonly("discarded_bytes", &serial_driver::LinkStats::discarded_bytes)
      .def_readonly("skipped_lines", &serial_driver::LinkStats::skipped_lines)
      .def_readonly("stale_replies", &serial_driver::LinkStats::stale_replies)
      .def_readonly("out_of_step", &serial_driver::LinkStats::out_of_step)
      .def_readonly("held_back", &serial_driver::LinkStats::held_back)
      .def_readonly("owner_pid", &serial_driver::LinkStats::owner_pid)
      .def_readonly("owner_program", &serial_driver::LinkStats::owner_program)
      .def_readonly("clients", &serial_driver::LinkStats::clients);

  py::class_<ChassisLink, LinkHolder>(m, "ChassisLink")
      .def(py::init(&openLink), py::kw_only(), py::arg("serial") = py::none(),
           py::arg("device") = py::none(), py::arg("baud") = serial_driver::kDefaultBaud,
           py::arg("reply_timeout") = py::none(),
           py::arg("reconnect_after") = serial_driver::kReconnectAfter,
           py::arg("max_in_flight") = 1, py::arg("exclusive") = true, py::arg("serve") = true,
           py::arg("serve_writes") = false, py::arg("socket") = py::none(),
           "Opens the adapter with this USB serial number, or the device path. reply_timeout "
           "is a timedelta or seconds; None for the rate's own deadline. max_in_flight (1 to "
           "16): commands a Batch sends before their replies. exclusive=False opens without "
           "taking the port, for a program that only watches a line another one drives. "
           "While it holds the port the link serves other programs' reads through a Unix "
           "socket (serve=False: they get BusyError), their sets too with serve_writes=True; "
           "a link that finds the port held by a serving owner goes through it. socket: the "
           "owner's socket path, where an owner serves or a link connects (then serial and "
           "device may be omitted).")
      .def("__enter__",
           [](py::object self) {
             ChassisLink& link = self.cast<ChassisLink&>();
             if (!withoutGil([&] { return link.is_open(); })) raiseLinkError(Errc::not_open);
             return self;
           })
      .def("__exit__",
           [](ChassisLink& link, const py::args&) { withoutGil([&] { link.close(); }); })
      .def(
          "close", [](ChassisLink& link) { withoutGil([&] { link.close(); }); },
          "Closes the port; an operation another thread waits in ends with CancelledError.")
      .def("cancel", &ChassisLink::cancel,
           "Ends the operations other threads wait in with CancelledError.")
      .def_property_readonly(
          "is_open", [](ChassisLink& link) { return withoutGil([&] { return link.is_open(); }); })
      .def_property_readonly("device", [](ChassisLink& link) { return link.device(); })
      .def_property_readonly(
          "stats", [](ChassisLink& link) { return withoutGil([&] { return link.stats(); }); })
      .def("set", &setValue, py::arg("index"), py::arg("value"), py::kw_only(),
           py::arg("type") = py::none())
      .def("get_float", &getValue<float>, py::arg("index"))
      .def("get_int", &getValue<int>, py::arg("index"))
      .def("get_text", &getText, py::arg("index"),
           "The entry as text; bytes that are not UTF-8 become U+FFFD.")
      .def("get_bytes", &getBytes, py::arg("index"), "The entry's bytes exactly as they came.")
      .def(
          "exchange", [](ChassisLink& link, PyBatch& batch) { return batch.exchange(link); },
          py::arg("batch"),
          "Runs every item of the batch with the GIL released; returns the values in item "
          "order (None for a set), or raises the first failure in item order, whose .item is "
          "its position. batch.result(i) and batch.error(i) give each item's outcome.");

  using Kind = PyBatch::Kind;
  py::class_<PyBatch>(m, "Batch",
                      "A control cycle's gets and sets for ChassisLink.exchange(): each get_* "
                      "and set returns the item's position. Reuse it every cycle.")
      .def(py::init<>())
      .def(
          "get_float", [](PyBatch& b, const AnyInt& index) { return b.get(index, Kind::kFloat); },
          py::arg("index"))
      .def(
          "get_int", [](PyBatch& b, const AnyInt& index) { return b.get(index, Kind::kInt); },
          py::arg("index"))
      .def(
          "get_text", [](PyBatch& b, const AnyInt& index) { return b.get(index, Kind::kText); },
          py::arg("index"), "Bytes that are not UTF-8 become U+FFFD.")
      .def(
          "get_bytes", [](PyBatch& b, const AnyInt& index) { return b.get(index, Kind::kBytes); },
          py::arg("index"))
      .def("set", &PyBatch::set, py::arg("index"), py::arg("value"), py::kw_only(),
           py::arg("type") = py::none(),
           "The type as ChassisLink.set chooses it; an int out of range raises BadValueError "
           "here, a text that does not fit a frame fails its item with it.")
      .def("__len__", &PyBatch::size)
      .def("clear", &PyBatch::clear, "Removes every item.")
      .def("result", &PyBatch::result, py::arg("item"),
           "The item's value from the last exchange (None for a set), or its error raised.")
      .def("error", &PyBatch::errorOf, py::arg("item"),
           "The item's error from the last exchange, None when it succeeded.");

  py::class_<serial_driver::SerialPort>(m, "SerialPort")
      .def_readonly("devnode", &serial_driver::SerialPort::devnode)
      .def_readonly("on_usb", &serial_driver::SerialPort::on_usb)
      .def_property_readonly("vendor",
                             [](const serial_driver::SerialPort& p) { return p.usb.id_vendor; })
      .def_property_readonly("product",
                             [](const serial_driver::SerialPort& p) { return p.usb.id_product; })
      .def_property_readonly("serial",
                             [](const serial_driver::SerialPort& p) { return p.usb.i_serial; })
      .def("__repr__", [](const serial_driver::SerialPort& p) {
        return "SerialPort(" + p.devnode +
               (p.on_usb ? " " + p.usb.id_vendor + ":" + p.usb.id_product + " " + p.usb.i_serial
                         : "") +
               ")";
      });
  m.def("list_serial_ports", &serial_driver::listSerialPorts,
        "Every serial port with its USB identity, ordered by node.");

  bindSim(m);

  bridgeLogToPython();
  // The bridge calls into the interpreter: it must not outlive it.
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { serial_driver::setLogSink(nullptr); }));
}
