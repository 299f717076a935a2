// Chunk members compressed on several threads at once. Pieces go in in
// payload order and their members come out in the same order, so the
// launcher's bytes do not depend on the number of threads. Only a few
// pieces per thread are held at any time; the price is that the thread that
// reads the pieces waits for the oldest one whenever that window is full.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qpack {

inline constexpr unsigned MAX_THREADS = 256;    // the most -j accepts
inline constexpr size_t PIECES_PER_THREAD = 3;  // pieces in flight per compressing thread

// One compressing thread per core the system reports, at least one.
unsigned DefaultThreads();

class MemberPool {
  public:
    // Receives each finished member with the tag and length of its piece,
    // on the thread that calls Submit and Finish, in submission order.
    using Sink = std::function<void(size_t tag, size_t piece_size, std::vector<uint8_t> member)>;

    // With one thread every piece is compressed inside Submit and no thread
    // is started.
    MemberPool(unsigned threads, int level, Sink sink);
    // Stops the threads; members not handed on yet are dropped.
    ~MemberPool();
    MemberPool(const MemberPool&) = delete;
    MemberPool& operator=(const MemberPool&) = delete;

    // Queues one piece for compression. When the window is full, first waits
    // for the oldest member and hands it to the sink. A failure of the sink
    // or of the compression comes out here or in Finish.
    void Submit(size_t tag, std::vector<uint8_t> piece);
    // Waits for every queued piece and hands its member to the sink. After a
    // failure it does nothing, so that the first failure stays the one
    // reported.
    void Finish();

  private:
    // One piece on its way: queued, being compressed, or done.
    struct Job {
        size_t tag = 0;
        std::vector<uint8_t> piece;   // the content, released once compressed
        size_t piece_size = 0;        // its length
        std::vector<uint8_t> member;  // the result
        std::exception_ptr failure;   // what compressing it threw
        bool done = false;
    };

    void Work();
    void HandOnOldest();
    void Deliver(Job& job);

    int level_;
    Sink sink_;
    size_t window_;    // pieces in flight at most
    std::mutex lock_;  // guards the two queues, the flags and stopping_
    std::condition_variable job_queued_;
    std::condition_variable job_done_;
    std::deque<Job> in_flight_;  // every piece not yet handed on, in order
    std::deque<Job*> waiting_;   // the ones no thread has taken yet
    bool stopping_ = false;
    bool failed_ = false;  // a member failed; nothing more is handed on
    std::vector<std::thread> threads_;
};

}  // namespace qpack
