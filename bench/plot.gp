# Draws the benchmark plots from the CSV files that `make bench` writes.
# usage: gnuplot -e "dir='build/bench'" bench/plot.gp
set datafile separator ","
set terminal pngcairo size 900,540 noenhanced
set key top left
set grid

set output dir."/take_depth.png"
set title "Take cost per record passed over, by queue depth (lower is better)"
set logscale x
set xlabel "records queued ahead for other recipients"
set ylabel "ns per record"
plot dir."/native_depth.csv" using 1:2 skip 1 with linespoints title "GetThreadMessage", \
     "" using 1:3 skip 1 with linespoints title "std::list walk"

set output dir."/contention.png"
set title "Post and take, each thread on its own recipient (higher is better)"
unset logscale x
set logscale x 2
set xlabel "threads"
set ylabel "messages per second"
plot dir."/native_contention.csv" using 1:2 skip 1 with linespoints title "Quenthaloy", \
     "" using 1:3 skip 1 with linespoints title "std::mutex+deque+condition_variable, wake all"
