// The virtual camera driver: devices, open files, buffers and the ioctls.
#pragma once

#include "profile.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kv {

// A node's descriptor is a socket bound to the abstract name
// "kinovo-vcam:videoN:INODE", so that any process can tell from the sockets
// table (/proc/PID/net/unix) which node a "socket:[INODE]" link stands for.
inline constexpr char kSocketNamePrefix[] = "kinovo-vcam:";

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// The whole file, read with the system's calls; `ok` false when it cannot be.
std::string readFile(const char* path, bool& ok);

struct Device;
class Vcam;

struct Buffer {
    enum class State { Dequeued, Queued, Active, Done };
    std::uint32_t index = 0, offset = 0, length = 0;
    int memfd = -1;
    std::uint8_t* mem = nullptr;  // the library's own mapping
    State state = State::Dequeued;
    std::uint32_t bytesused = 0, sequence = 0;
    bool error = false;
    std::int64_t timestampNs = 0;
    int mappings = 0;  // consumer mappings
    ~Buffer();
};

// A videobuf2 queue and its producer thread.
struct Queue {
    std::vector<std::shared_ptr<Buffer>> bufs;
    std::deque<Buffer*> queued, done;
    bool streaming = false;
    bool waitingForBuffers = true;  // no QBUF since REQBUFS/STREAMOFF
    bool stop = false;
    std::thread producer;
    std::condition_variable wake;  // producer's sleep
    std::uint32_t fourcc = 0;
    Size size;
    Fraction interval;
    Clock::time_point t0;
    std::optional<Clock::time_point> unplugAt;
    std::uint32_t sequence = 0;
    // Frame slots dropped since STREAMON: the producer woke too late for them
    // (a starved test machine), or no buffer was queued (a reader too slow).
    std::uint64_t lateSlots = 0;
    std::uint64_t starvedSlots = 0;
    std::uint64_t dequeued = 0;  // frames handed out since STREAMON
    bool eioGiven = false;       // dqbuf_eio_every: the next frame's failure is done
    ~Queue();
};

struct OpenFile {
    Vcam* vcam = nullptr;
    Device* dev = nullptr;
    int ownFd = -1;   // our duplicate of the consumer's end of the socket pair
    int peerFd = -1;  // the other end; writing to it makes the consumer's end readable
    dev_t stDev = 0;
    ino_t stIno = 0;
    bool dead = false;   // the device was unplugged under it
    bool ready = false;  // a readiness byte is pending
    std::shared_ptr<Queue> graveyard;  // the queue it owned when the device was unplugged
    ~OpenFile();
};

struct Device {
    const NodeConfig* cfg = nullptr;  // from the profile
    int number = 0;
    std::string name;  // "video0"
    Device* camera = nullptr;  // the physical camera (itself, or the camera of a metadata node)
    Device* meta = nullptr;
    std::mutex ioctlMu;  // serialises the ioctls that change the stream (not DQBUF)

    // Guarded by Vcam::mu.
    std::uint32_t fourcc = 0;
    Size size;
    Fraction interval;
    std::map<std::uint32_t, std::int32_t> values;
    std::uint64_t ctrlVersion = 0;
    OpenFile* owner = nullptr;
    std::shared_ptr<Queue> queue = std::make_shared<Queue>();
    std::set<OpenFile*> files;  // live (not dead) open files
    int deadFiles = 0;
    bool gone = false;            // currently unplugged
    bool timerUnplugged = false;  // unplugged by unplug_after_ms until its files are released
};

class Vcam {
public:
    // The process-wide instance; nullptr when no profile is configured.
    static Vcam* get();
    static Vcam* peek();  // without creating it

    Device* node(int number);
    bool present(Device* d);  // checks the unplug triggers

    // Returns a new descriptor or -errno.
    int open(Device* d, int flags);
    int ioctl(const std::shared_ptr<OpenFile>& f, int fd, unsigned long req, void* arg);
    void* mmap(const std::shared_ptr<OpenFile>& f, void* addr, std::size_t len, int prot, int flags,
               off_t offset);
    void munmapped(void* addr);
    short pollMask(const std::shared_ptr<OpenFile>& f);
    int readCall(const std::shared_ptr<OpenFile>& f);
    void fillStat(Device* d, struct stat* st);

    // Descriptor table.
    std::shared_ptr<OpenFile> lookup(int fd);
    void registerFd(int fd, std::shared_ptr<OpenFile> f);
    std::shared_ptr<OpenFile> unregisterFd(int fd);
    bool anyFds() const { return liveFds_.load(std::memory_order_acquire) > 0; }
    bool anyMaps() const { return liveMaps_.load(std::memory_order_acquire) > 0; }
    std::vector<Device*> devices();

    void release(OpenFile* f);

private:
    Vcam(Profile p, std::string log, std::string drops, std::string controlDir, std::int64_t syncPeriodNs);
    static Vcam* create();

    void log(const Device* d, const std::string& line);
    // "streamoff" in the log, and the stream's dropped slots in the drops file.
    void logStreamEnd(const Device* d, const Queue& q);
    bool triggerExists(Device* cam);
    bool checkPresent(Device* d);  // under mu
    void unplug(Device* cam);      // under mu
    void resetDevice(Device* d);   // under mu
    short maskLocked(OpenFile* f);
    void sync(Device* d);  // readiness of every file of d, under mu
    void setReady(OpenFile* f, bool ready);
    void stopProducer(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Queue>& q);
    void produce(Device* d, Queue* q);

    int doIoctl(OpenFile* f, int fd, unsigned long req, void* arg);
    int streamIoctl(OpenFile* f, int fd, unsigned long req, void* arg);
    int ctrlIoctl(OpenFile* f, unsigned long req, void* arg);
    int dqbuf(OpenFile* f, int fd, void* arg);

    Profile profile_;
    std::string logPath_, dropsPath_, controlDir_;
    std::int64_t syncPeriodNs_ = 0;  // flashes of sync_flash cameras: every multiple of it
    std::vector<std::unique_ptr<Device>> devices_;
    std::uint32_t kernelVersion_ = 0;

public:
    std::mutex mu;
    std::condition_variable cv;  // DQBUF waiters

private:
    std::mutex regMu_;
    std::unordered_map<int, std::shared_ptr<OpenFile>> fds_;
    struct Mapping {
        std::shared_ptr<OpenFile> file;
        std::weak_ptr<Buffer> buf;
    };
    std::map<void*, Mapping> maps_;
    std::atomic<int> liveFds_{0}, liveMaps_{0};
};

}  // namespace kv
