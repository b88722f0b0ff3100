# The scaling picture: cost per call against the number of processes, from
# the table report.py writes. gnuplot -e "data='FILE'; picture='PNG'" scaling.gp
set terminal pngcairo size 1000,520 font ",10" noenhanced
set output picture
set title "Cost per call against the processes running (medians of one run)"
set xlabel "processes in /proc"
set ylabel "time per call (ms)"
set logscale xy
set format y "%g"
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set key outside right top box
set datafile separator "\t"
plot data using 1:2 title "floor walk (/proc, one read per process)" with linespoints lw 2 pt 7, \
     data using 1:3 title "processCanExecute" with linespoints lw 2 pt 5, \
     data using 1:4 title "RefreshAllSorvikStr (350 records)" with linespoints lw 2 pt 9, \
     data using 1:5 title "psutil.process_iter(['name'])" with linespoints lw 2 pt 11, \
     data using 1:6 title "pgrep -c (wall time)" with linespoints lw 2 pt 13
