# Draws the benchmark plots from the CSV files that `make bench` writes: one
# per workload, one bar per implementation at each point (each file: x, then
# one column per implementation, named in its header).
# usage: gnuplot -e "dir='build/bench'" bench/plot.gp
set datafile separator ","
set terminal pngcairo size 1000,540 noenhanced
set key outside right top
set grid ytics
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1

# name of the CSV file (without .csv), then the title, the x and the y label
plots = "native_worker_pool native_many_to_many native_post_take native_round_trip " . \
        "native_resource_uncontended native_resource_contended native_depth python_pool"
titles = "'Worker pool: one dispatcher, workers on their own keys (lower is better)' " . \
         "'P producers to C consumers sharing one key (higher is better)' " . \
         "'One thread: post and take back (lower is better)' " . \
         "'Two threads: hand-off and ping-pong round trip (lower is better)' " . \
         "'Resource take+give back, one thread (lower is better)' " . \
         "'Resource take+give back, threads contending (higher is better)' " . \
         "'Post+take behind messages queued for another key (lower is better)' " . \
         "'Python worker pool, ctypes against queue.Queue (lower is better)'"
xlabels = "'workers' 'producers x consumers' '' '' '' 'threads' 'messages queued' 'workers'"
ylabels = "'ns per job' 'messages per second' 'ns per pair' 'ns per round trip' 'ns per pair' " . \
          "'sections per second' 'ns per pair' 'ns per job'"
logy = "1 1 1 1 0 1 0 0"

do for [i = 1:words(plots)] {
  set output dir."/".word(plots, i).".png"
  set title word(titles, i)
  set xlabel word(xlabels, i)
  set ylabel word(ylabels, i)
  if (word(logy, i) eq "1") { set logscale y } else { unset logscale y; set yrange [0:*] }
  file = dir."/".word(plots, i).".csv"
  plot for [column = 2:*] file using column:xtic(1) title columnheader(column)
}
