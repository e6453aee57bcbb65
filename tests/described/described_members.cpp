// A program built the way a customer builds one: against the exported classes as they are
// declared to callers (the headers beside this file, written from the interface
// documentation), not against the library's own headers. It calls what is safe to call
// without an engine, and checks that every virtual member sits in the library's virtual
// table at the slot the caller's declaration gives it.
//
// Members that need the engine or one of the library's own threads are referenced in
// link_only_members() and never called. The program is linked with -z now, so it does not
// even load when one of the members it names is missing from the library; the test
// DescribedMembers.EveryNamedMemberIsExported lists each such member by name.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>

#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_cnv_pvgen_observer_wrapper.h"
#include "quorl_cnv_pvgen_records.h"
#include "quorl_signal.h"

using norvane::quorl_cnv_pvgen_channel;
using norvane::quorl_cnv_pvgen_commonmethod;
using norvane::quorl_cnv_pvgen_control;
using norvane::quorl_cnv_pvgen_observer;
using norvane::quorl_cnv_pvgen_observer_wrapper;
using norvane::quorl_signal;

// Members that must not run here: they drive the engine, belong to the dispatcher's or a
// worker's thread, or create a second object of a singleton. Calling them with qualified
// names makes each one a direct reference to its symbol, virtual ones included. External
// linkage keeps the function (and so the references) in the program.
void link_only_members(quorl_cnv_pvgen_control& control, quorl_cnv_pvgen_channel& channel,
                       quorl_cnv_pvgen_commonmethod& registry, quorl_signal* signal,
                       quorl_cnv_pvgen_observer_wrapper* wrapper, void* storage) {
  QUORL_CNV_PVGEN_BLK blk{};
  QUORL_CNV_PVGEN_RESULT_INFO info{};
  control.init();
  control.quorl_cnv_pvgen_control::process(nullptr);
  control.quorl_cnv_pvgen_control::ctrl_wait();
  control.quorl_cnv_pvgen_control::ctrl_signal();
  control.quorl_cnv_pvgen_control::~quorl_cnv_pvgen_control();
  control.channel_create(1, 1, 1);
  control.get_channel(0, 0, blk);

  new (storage) quorl_cnv_pvgen_channel(signal, 0, 0, 0);
  channel.ch_wait();
  channel.page_start(1, 0, blk);
  channel.band_exe(1, 0, blk);
  channel.quorl_cnv_pvgen_channel::process(nullptr);
  channel.wait(0, info);
  channel.report_page(0, nullptr);
  channel.report_band(0, nullptr);
  channel.quorl_cnv_pvgen_channel::~quorl_cnv_pvgen_channel();

  new (storage) quorl_cnv_pvgen_commonmethod();
  registry.quorl_cnv_pvgen_commonmethod::~quorl_cnv_pvgen_commonmethod();
  registry.quorl_cnv_pvgen_commonmethod::log_print();
  registry.init();
  registry.get_event_semaphore();
  registry.req_list_clear();

  wrapper->quorl_cnv_pvgen_observer_wrapper::notify_result(info);
  wrapper->quorl_cnv_pvgen_observer_wrapper::~quorl_cnv_pvgen_observer_wrapper();
  quorl_cnv_pvgen_observer* observer = wrapper;
  observer->quorl_cnv_pvgen_observer::~quorl_cnv_pvgen_observer();
  signal->quorl_signal::~quorl_signal();
}

namespace {

// Room for an object whose size only the library knows (the declarations here leave out
// the data members): far more than any of the library's objects needs.
struct alignas(std::max_align_t) Storage {
  unsigned char bytes[16384];
};

// Itanium C++ ABI (x86-64 and 32-bit PowerPC alike): a pointer to a virtual member function
// holds 1 plus the byte offset of its slot in the virtual table.
template <typename Member>
long slot_of(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t words[2];
  std::memcpy(words, &member, sizeof words);
  if ((words[0] & 1) == 0) {
    return -1;  // not a virtual member
  }
  return static_cast<long>((words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
}

// The name of the library function that `object`'s virtual table holds at `slot`,
// demangled; "?" when it is not the start of an exported function.
std::string function_in_slot(const void* object, long slot) {
  if (slot < 0) {
    return "(not virtual)";
  }
  void* const* table = *static_cast<void* const* const*>(object);
  void* function = table[slot];
  Dl_info found{};
  if (dladdr(function, &found) == 0 || found.dli_sname == nullptr || found.dli_saddr != function) {
    return "?";
  }
  int status = 0;
  char* plain = abi::__cxa_demangle(found.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && plain != nullptr ? plain : found.dli_sname;
  std::free(plain);
  return name;
}

QUORL_CNV_PVGEN_BLK block(int32_t page_id) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.page_id = page_id;
  blk.asic = blk.module = blk.channel = 1;
  blk.src[0].id = 0x100;
  blk.dst[0].id = 0x200;
  blk.result = 77;
  return blk;
}

QUORL_CNV_PVGEN_RESULT_INFO* last_report = nullptr;
int reports = 0;
void on_report(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  last_report = info;
  ++reports;
}

// An observer of the caller's own: its virtual table is this program's, its base's
// destructor and type information the library's.
class counting_observer : public quorl_cnv_pvgen_observer {
 public:
  void notify_result(QUORL_CNV_PVGEN_RESULT_INFO&) override { ++count; }
  int count = 0;
};

}  // namespace

TEST(DescribedMembers, ControlSingletonValidationAndRefusedSubmissions) {
  quorl_cnv_pvgen_control* control = quorl_cnv_pvgen_control::instance();
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(quorl_cnv_pvgen_control::instance(), control);
  EXPECT_EQ(quorl_cnv_pvgen_control::s_instance_, control);
  EXPECT_NE(quorl_cnv_pvgen_control::s_inst_msem_, nullptr);
  EXPECT_TRUE(typeid(*control) == typeid(quorl_cnv_pvgen_control));

  const int first = control->get_page_id();
  EXPECT_GE(first, 1);
  EXPECT_EQ(control->get_page_id(), first + 1);
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), first + 2);

  EXPECT_EQ(control->device_check(1, 1, 1), 1);
  EXPECT_EQ(control->device_check(3, 5, 0xFFFFFFFFul), 1);
  EXPECT_EQ(control->device_check(2, 1, 1), 0);

  // Validation: a prepare with page 0 and priority 7 is refused; a stop of page 9 is not.
  QUORL_CNV_PVGEN_BLK bad = block(0);
  bad.priority = 7;
  EXPECT_EQ(control->param_check(QUORL_CNV_PVGEN_REQ_PREPARE, bad, nullptr), -3);
  EXPECT_EQ(bad.result, -3);
  QUORL_CNV_PVGEN_BLK good = block(9);
  EXPECT_EQ(control->param_check(QUORL_CNV_PVGEN_REQ_STOP, good, nullptr), 0);
  EXPECT_EQ(good.result, 77);

  // Each submission refuses page 0 before anything is queued, so no engine is needed.
  QUORL_CNV_PVGEN_BLK blk = block(0);
  EXPECT_EQ(control->prepare(blk), -3);
  EXPECT_EQ(blk.result, -3);
  blk = block(0);
  EXPECT_EQ(control->page_start(blk, nullptr), -3);
  EXPECT_EQ(blk.result, -3);
  blk = block(0);
  EXPECT_EQ(control->band_exe(blk, nullptr), -3);
  EXPECT_EQ(blk.result, -3);
  blk = block(0);
  EXPECT_EQ(control->stop(blk), -3);
  EXPECT_EQ(blk.result, -3);

  // A wake-up through either base finds an empty list.
  control->ctrl_signal();
  static_cast<quorl_signal*>(control)->ctrl_signal();

  quorl_cnv_pvgen_control::release();
  EXPECT_EQ(quorl_cnv_pvgen_control::s_instance_, nullptr);
}

TEST(DescribedMembers, ControlAndSignalVirtualTables) {
  quorl_cnv_pvgen_control* control = quorl_cnv_pvgen_control::instance();
  const std::string c = "norvane::quorl_cnv_pvgen_control::";
  EXPECT_EQ(function_in_slot(control, 0), c + "~quorl_cnv_pvgen_control()");
  EXPECT_EQ(function_in_slot(control, 1), c + "~quorl_cnv_pvgen_control()");
  EXPECT_EQ(function_in_slot(control, slot_of(&quorl_cnv_pvgen_control::process)),
            c + "process(void*)");
  EXPECT_EQ(function_in_slot(control, slot_of(&quorl_cnv_pvgen_control::ctrl_wait)),
            c + "ctrl_wait()");
  EXPECT_EQ(function_in_slot(control, slot_of(&quorl_cnv_pvgen_control::ctrl_signal)),
            c + "ctrl_signal()");

  // The control as a channel sees it: its quorl_signal base, whose slots lead to the
  // control's own members.
  const quorl_signal* signal = control;
  const std::string thunk = "non-virtual thunk to " + c;
  EXPECT_EQ(function_in_slot(signal, 0), thunk + "~quorl_cnv_pvgen_control()");
  EXPECT_EQ(function_in_slot(signal, slot_of(&quorl_signal::ctrl_signal)), thunk + "ctrl_signal()");
  EXPECT_EQ(function_in_slot(signal, slot_of(&quorl_signal::ctrl_wait)), thunk + "ctrl_wait()");
}

TEST(DescribedMembers, ChannelWithoutEngine) {
  // The default constructor opens nothing and starts no thread: a channel that stays in the
  // error state.
  Storage storage;
  quorl_cnv_pvgen_channel* ch = new (&storage) quorl_cnv_pvgen_channel();
  EXPECT_TRUE(typeid(*ch) == typeid(quorl_cnv_pvgen_channel));
  const std::string c = "norvane::quorl_cnv_pvgen_channel::";
  EXPECT_EQ(function_in_slot(ch, 0), c + "~quorl_cnv_pvgen_channel()");
  EXPECT_EQ(function_in_slot(ch, slot_of(&quorl_cnv_pvgen_channel::process)), c + "process(void*)");

  EXPECT_EQ(ch->get_asic(), -1);
  EXPECT_EQ(ch->get_module(), -1);
  EXPECT_EQ(ch->get_channel(), -1);
  EXPECT_EQ(ch->get_plane(), -1);
  EXPECT_EQ(ch->get_page_id(), 0ul);
  EXPECT_EQ(ch->get_ch_status(), -1);
  EXPECT_EQ(ch->get_proc_num(), 0);
  ch->stop_wait();  // unbound and empty: returns at once

  ch->set_ch_status(0);
  EXPECT_EQ(ch->get_ch_status(), -1);
  ch->prepare(5);
  EXPECT_EQ(ch->get_page_id(), 5ul);
  EXPECT_EQ(ch->get_ch_status(), -1);
  ch->ch_signal();
  ch->stop_signal();

  // A stop on a channel in the error state reports success without the driver.
  QUORL_CNV_PVGEN_BLK blk = block(5);
  EXPECT_EQ(ch->stop(blk), 0);
  EXPECT_EQ(blk.result, 0);

  ch->~quorl_cnv_pvgen_channel();
}

TEST(DescribedMembers, RegistryListAndDiagnostics) {
  quorl_cnv_pvgen_commonmethod* reg = quorl_cnv_pvgen_commonmethod::instance();
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(quorl_cnv_pvgen_commonmethod::instance(), reg);
  EXPECT_EQ(quorl_cnv_pvgen_commonmethod::s_instance_, reg);
  EXPECT_NE(quorl_cnv_pvgen_commonmethod::s_inst_msem_, nullptr);
  EXPECT_TRUE(typeid(*reg) == typeid(quorl_cnv_pvgen_commonmethod));
  const std::string c = "norvane::quorl_cnv_pvgen_commonmethod::";
  EXPECT_EQ(function_in_slot(reg, 0), c + "~quorl_cnv_pvgen_commonmethod()");
  EXPECT_EQ(function_in_slot(reg, slot_of(&quorl_cnv_pvgen_commonmethod::log_print)),
            c + "log_print()");

  QUORL_CNV_PVGEN_BLK blk = block(77);
  const QUORL_CNV_PVGEN_BLK before = blk;
  reg->param_print(QUORL_CNV_PVGEN_REQ_STOP, blk, nullptr);
  EXPECT_EQ(std::memcmp(&blk, &before, sizeof blk), 0);

  // Without a control no dispatcher looks at the list.
  QUORL_CNV_PVGEN_LIST_BLK* entry = reg->req_list_insert(QUORL_CNV_PVGEN_REQ_STOP, blk, nullptr);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->request, QUORL_CNV_PVGEN_REQ_STOP);
  EXPECT_EQ(entry->page_id, 77);
  EXPECT_NE(entry->event, nullptr);
  const unsigned long address = reinterpret_cast<unsigned long>(entry);
  EXPECT_EQ(reg->req_list_search(1, entry->req_no), entry);
  EXPECT_EQ(reg->req_list_search(0, address), entry);
  EXPECT_EQ(reg->req_list_search(3, 77), entry);
  reg->req_list_lock();
  EXPECT_EQ(reg->req_list_for_each(), entry);
  EXPECT_EQ(reg->req_list_for_each(), nullptr);
  reg->req_list_unlock();
  const unsigned long req_no = entry->req_no;
  reg->req_list_erase(0, address);
  EXPECT_EQ(reg->req_list_search(1, req_no), nullptr);

  reg->log_print();
  static_cast<norvane::quorl_commonmethod*>(reg)->log_print();
  reg->list_print();
  norvane::UCOM_UsrCommandReceiver::uctracef("QUORL", "%s\n", "described members");

  quorl_cnv_pvgen_commonmethod::release();
  EXPECT_EQ(quorl_cnv_pvgen_commonmethod::s_instance_, nullptr);
  quorl_cnv_pvgen_commonmethod::release();  // nothing left to do
}

TEST(DescribedMembers, ObserversAndWrappers) {
  quorl_cnv_pvgen_commonmethod* reg = quorl_cnv_pvgen_commonmethod::instance();
  EXPECT_EQ(reg->obs_wrapper_create(5, nullptr), nullptr);
  quorl_cnv_pvgen_observer_wrapper* w = reg->obs_wrapper_create(5, on_report);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(reg->obs_wrapper_create(6, on_report), w);
  EXPECT_EQ(w->get_page_id(), 5ul);
  EXPECT_TRUE(w->get_observer() == &on_report);
  EXPECT_TRUE(typeid(*w) == typeid(quorl_cnv_pvgen_observer_wrapper));
  const std::string c = "norvane::quorl_cnv_pvgen_observer_wrapper::";
  EXPECT_EQ(function_in_slot(w, 0), c + "~quorl_cnv_pvgen_observer_wrapper()");
  EXPECT_EQ(function_in_slot(w, slot_of(&quorl_cnv_pvgen_observer::notify_result)),
            c + "notify_result(QUORL_CNV_PVGEN_RESULT_INFO&)");

  // Reached the way the library reaches it: through the observer interface.
  quorl_cnv_pvgen_observer* as_observer = w;
  EXPECT_EQ(dynamic_cast<quorl_cnv_pvgen_observer_wrapper*>(as_observer), w);
  QUORL_CNV_PVGEN_RESULT_INFO info{};
  as_observer->notify_result(info);
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(last_report, &info);
  reg->obs_wrapper_delete(w);
  reg->obs_wrapper_delete(w);  // the last reference: destroyed
  reg->obs_wrapper_delete(w);  // no longer listed: nothing happens
  reg->obs_wrapper_delete(nullptr);

  Storage storage;
  quorl_cnv_pvgen_observer_wrapper* plain = new (&storage) quorl_cnv_pvgen_observer_wrapper();
  EXPECT_EQ(plain->get_page_id(), 0ul);
  EXPECT_TRUE(plain->get_observer() == nullptr);
  plain->notify_result(info);  // no callback: nothing happens
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(plain->inc_ref_num(), 2);
  EXPECT_EQ(plain->dec_ref_num(), 1);
  EXPECT_EQ(plain->dec_ref_num(), 0);
  EXPECT_EQ(plain->dec_ref_num(), 0);
  plain->~quorl_cnv_pvgen_observer_wrapper();

  quorl_cnv_pvgen_observer_wrapper* paged = new (&storage) quorl_cnv_pvgen_observer_wrapper(7);
  EXPECT_EQ(paged->get_page_id(), 7ul);
  paged->set_observer(on_report);
  EXPECT_TRUE(paged->get_observer() == &on_report);
  paged->notify_result(info);
  EXPECT_EQ(reports, 2);
  paged->~quorl_cnv_pvgen_observer_wrapper();

  counting_observer own;
  quorl_cnv_pvgen_observer* base = &own;
  base->notify_result(info);
  EXPECT_EQ(own.count, 1);
}
