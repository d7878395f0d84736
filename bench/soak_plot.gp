# Draws a soak run's samples: gnuplot -e "csv='x.csv'; png='x.png'; warmup=180" bench/soak_plot.gp
# The CSV is the one soak writes: time_s, rss_kib, fds, cpu_pct, clients,
# actions_per_s, bench_cpu_pct.
if (!exists("csv")) csv = 'soak.csv'
if (!exists("png")) png = 'soak.png'
if (!exists("warmup")) warmup = 180
if (!exists("heading")) heading = 'zanthd soak run'

set terminal pngcairo size 1200,900 font 'sans,10'
set output png
set datafile separator ','
set multiplot layout 2,1 title heading font 'sans,12'
set grid
set xlabel 'minutes'
set arrow 1 from warmup/60.0, graph 0 to warmup/60.0, graph 1 nohead dashtype 2 lc rgb '#888888'
set label 1 'end of warm-up' at warmup/60.0, graph 0.95 offset 0.5,0 tc rgb '#888888'
set key outside right top
set lmargin at screen 0.07
set rmargin at screen 0.80
set xrange [0:*]

set ylabel 'resident memory (MiB)'
set y2label 'descriptors, clients'
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
plot csv skip 1 using ($1/60):($2/1024) with linespoints pt 7 ps 0.4 lw 2 lc rgb '#1f77b4' title 'RSS (MiB)', \
     csv skip 1 using ($1/60):3 axes x1y2 with lines lw 2 lc rgb '#d62728' title 'open descriptors', \
     csv skip 1 using ($1/60):5 axes x1y2 with lines lw 1 dashtype 3 lc rgb '#2ca02c' title 'connected clients'

set ylabel 'CPU (% of one core)'
set y2label 'client actions per second'
set yrange [0:*]
set y2range [0:*]
plot csv skip 2 using ($1/60):4 with lines lw 2 lc rgb '#ff7f0e' title 'zanthd CPU', \
     csv skip 2 using ($1/60):7 with lines lw 1 lc rgb '#9467bd' title 'load driver CPU', \
     csv skip 2 using ($1/60):6 axes x1y2 with lines lw 1 dashtype 2 lc rgb '#7f7f7f' title 'actions/s'
unset multiplot
