# Draws the benchmark plots from the CSV files that `make bench` writes.
# usage: gnuplot -e "dir='build/bench'" bench/plot.gp
set datafile separator ","
set terminal pngcairo size 900,540 noenhanced
set key top left
set grid

set output dir."/depth.png"
set title "Post+take while messages for another recipient are queued (lower is better)"
set logscale xy
set xlabel "messages queued for another recipient"
set ylabel "ns per post+take"
plot dir."/native_depth.csv" using 1:2 skip 1 with linespoints title "behind the queued messages", \
     "" using 1:3 skip 1 with linespoints title "the same pair on an empty queue"

set output dir."/contention.png"
set title "Post and take, each thread on its own recipient (higher is better)"
unset logscale
set logscale x 2
set xlabel "threads"
set ylabel "messages per second"
plot dir."/native_contention.csv" using 1:2 skip 1 with linespoints title "Quenthaloy", \
     "" using 1:3 skip 1 with linespoints title "one std::mutex+deque+condition_variable queue, wake all"

set output dir."/worker_pool.png"
set key below
set title "Worker pool: one dispatcher, jobs round-robin to workers on their own keys (lower is better)"
set logscale x 2
set logscale y 10
set xlabel "workers"
set ylabel "ns per job"
plot dir."/native_worker_pool.csv" using 1:2 skip 1 with linespoints title "Quenthaloy, C++", \
     "" using 1:3 skip 1 with linespoints title "per-worker std::mutex+deque+condition_variable, notify_one", \
     dir."/python_pool.csv" using 1:2 skip 1 with linespoints title "Quenthaloy, Python ctypes", \
     "" using 1:3 skip 1 with linespoints title "per-worker queue.Queue, Python"
