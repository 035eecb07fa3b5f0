#!/usr/bin/perl
# A second, independent SMS centre for the SMPP driver's tests, built on
# Perl's Net::SMPP (Debian libnet-smpp-perl), which nobody here wrote.
# Test tool only: bind, submit_sm with message ids, delivery receipts.
#
#   perl smsc.pl [--port N] [--system-id ID] [--password PW] [--receipt-stat STAT]
#
# Listens on 127.0.0.1 (port 0: a free one), serves one connection at a
# time and prints one JSON object per line on stdout, the first being
# {"event":"listening","port":N}. Every accepted submit_sm that asks for a
# receipt (registered_delivery) is followed by a deliver_sm receipt in the
# text form "id:... sub:001 dlvrd:... stat:STAT err:000 text:...", without
# TLVs. A bind with another system_id or password is refused
# (ESME_RINVSYSID / ESME_RINVPASWD). End of stdin stops it.
use strict;
use warnings;
use Getopt::Long;
use IO::Select;
use JSON::PP;
use POSIX qw(strftime);
use Net::SMPP;

my ($port, $system_id, $password, $stat) = (0, 'velquor', 'secret', 'DELIVRD');
GetOptions('port=i' => \$port, 'system-id=s' => \$system_id, 'password=s' => \$password,
           'receipt-stat=s' => \$stat) or die "bad arguments\n";

$| = 1;
my $json = JSON::PP->new->canonical;
sub emit { my ($event, %f) = @_; print $json->encode({event => $event, %f}), "\n"; }

my $listen = Net::SMPP->new_listen('127.0.0.1', port => $port, smpp_version => 0x34)
  or die "cannot listen: $!\n";
emit('listening', port => $listen->sockport);

my $next_id = 0x7B000001;
my $select = IO::Select->new($listen, \*STDIN);
my $conn;

sub close_conn {
  return unless $conn;
  $select->remove($conn);
  close $conn;
  $conn = undef;
  emit('close');
}

sub serve_pdu {
  my $pdu = $conn->read_pdu() or return close_conn();
  my $cmd = $pdu->{cmd};
  if ($cmd == 0x00000009 || $cmd == 0x00000002 || $cmd == 0x00000001) {
    my $status = $pdu->{system_id} ne $system_id ? 0x0F : $pdu->{password} ne $password ? 0x0E : 0;
    my $resp = $cmd == 0x09 ? 'bind_transceiver_resp' : $cmd == 0x02 ? 'bind_transmitter_resp' : 'bind_receiver_resp';
    $conn->$resp(seq => $pdu->{seq}, status => $status, system_id => 'PERL-SMSC');
    emit('bind', command => $resp, system_id => $pdu->{system_id}, ok => $status ? JSON::PP::false : JSON::PP::true);
  } elsif ($cmd == 0x00000004) {
    my $id = sprintf('%X', $next_id++);
    $conn->submit_sm_resp(seq => $pdu->{seq}, message_id => $id);
    emit('submit', message_id => $id, destination => $pdu->{destination_addr}, dest_ton => $pdu->{dest_addr_ton},
         data_coding => $pdu->{data_coding}, esm_class => $pdu->{esm_class},
         registered_delivery => $pdu->{registered_delivery}, short_message => unpack('H*', $pdu->{short_message}));
    if ($pdu->{registered_delivery} & 0x03) {
      my $now = strftime('%y%m%d%H%M', gmtime);
      my $dlvrd = $stat eq 'DELIVRD' ? '001' : '000';
      my $text = substr($pdu->{short_message}, 0, 20);
      $text =~ s/[^\x20-\x7E]/./g;
      $conn->deliver_sm(source_addr => $pdu->{destination_addr}, destination_addr => $pdu->{source_addr},
                        esm_class => 0x04, data_coding => 0, async => 1,
                        short_message => "id:$id sub:001 dlvrd:$dlvrd submit date:$now done date:$now "
                          . "stat:$stat err:000 text:$text");
      emit('receipt', message_id => $id, stat => $stat);
    }
  } elsif ($cmd == 0x80000005) {
    emit('deliver_resp', sequence => $pdu->{seq}, status => $pdu->{status});
  } elsif ($cmd == 0x00000015) {
    $conn->enquire_link_resp(seq => $pdu->{seq});
    emit('enquire_link', answered => JSON::PP::true);
  } elsif ($cmd == 0x00000006) {
    $conn->unbind_resp(seq => $pdu->{seq});
    emit('unbind');
    close_conn();
  } elsif ($cmd == 0x80000000) {
    emit('generic_nack', sequence => $pdu->{seq}, status => $pdu->{status});
  } else {
    $conn->generic_nack(seq => $pdu->{seq}, status => 0x03);
    emit('unknown', command_id => $cmd);
  }
}

while (1) {
  for my $ready ($select->can_read) {
    if ($ready == $listen) {
      my $new = $listen->accept or next;
      close_conn();  # one client at a time
      $conn = $new;
      $select->add($conn);
      emit('connect');
    } elsif ($ready == \*STDIN) {
      my $line = <STDIN>;
      if (!defined $line) { close_conn(); exit 0; }
    } elsif ($conn && $ready == $conn) {
      serve_pdu();
    }
  }
}
