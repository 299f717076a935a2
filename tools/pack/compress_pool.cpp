// The compressing threads behind MemberPool. Jobs live in one queue in
// payload order; a second queue points at those that no thread has taken
// yet. A job's place in the first queue never moves while a thread works on
// it (a deque keeps its elements in place when others are added or removed
// at the ends), so the thread can fill it in without holding the lock.
#include "tools/pack/compress_pool.h"

#include "tools/pack/compress.h"

#include <algorithm>
#include <utility>

namespace qpack {

unsigned DefaultThreads() {
    unsigned cores = std::thread::hardware_concurrency();  // 0 when unknown
    return cores == 0 ? 1 : std::min(cores, MAX_THREADS);
}

MemberPool::MemberPool(unsigned threads, int level, Sink sink)
    : level_(level), sink_(std::move(sink)), window_(threads * PIECES_PER_THREAD) {
    if (threads > 1) {
        threads_.reserve(threads);
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    }
}

MemberPool::~MemberPool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    job_queued_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

/* A thread's loop: take the oldest waiting job, compress it outside the
   lock, mark it done. Failures are kept with the job and thrown when the
   job's turn to be handed on comes, so they surface in payload order. */
void MemberPool::Work() {
    std::unique_lock<std::mutex> hold(lock_);
    while (true) {
        job_queued_.wait(hold, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) {
            return;
        }
        Job* job = waiting_.front();
        waiting_.pop_front();
        hold.unlock();
        try {
            job->member = BuildMember(job->piece.data(), job->piece_size, level_);
        } catch (...) {
            job->failure = std::current_exception();
        }
        job->piece = {};
        hold.lock();
        job->done = true;
        job_done_.notify_all();
    }
}

/* Waits for the oldest job and passes its member to the sink, which runs
   without the lock so that the threads go on compressing meanwhile. */
void MemberPool::HandOnOldest() {
    Job job;
    {
        std::unique_lock<std::mutex> hold(lock_);
        job_done_.wait(hold, [this] { return in_flight_.front().done; });
        job = std::move(in_flight_.front());
        in_flight_.pop_front();
    }
    Deliver(job);
}

/* Any failure, of the compression or of the sink, ends the pool's output:
   no later member may reach the sink after it. */
void MemberPool::Deliver(Job& job) {
    try {
        if (job.failure) {
            std::rethrow_exception(job.failure);
        }
        sink_(job.tag, job.piece_size, std::move(job.member));
    } catch (...) {
        failed_ = true;
        throw;
    }
}

void MemberPool::Submit(size_t tag, std::vector<uint8_t> piece) {
    if (threads_.empty()) {
        Job job;
        job.tag = tag;
        job.piece_size = piece.size();
        try {
            job.member = BuildMember(piece.data(), piece.size(), level_);
        } catch (...) {
            job.failure = std::current_exception();
        }
        Deliver(job);
        return;
    }
    while (in_flight_.size() >= window_) {
        HandOnOldest();
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        Job& job = in_flight_.emplace_back();
        job.tag = tag;
        job.piece_size = piece.size();
        job.piece = std::move(piece);
        waiting_.push_back(&job);
    }
    job_queued_.notify_one();
}

void MemberPool::Finish() {
    while (!failed_ && !in_flight_.empty()) {
        HandOnOldest();
    }
}

}  // namespace qpack
